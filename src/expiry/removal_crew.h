// The threads that help the calling thread remove trees. A walker offers
// them jobs, each the walk of one subdirectory, while they have too few;
// what a job does is the walker's business, not the crew's.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kelvane {

// Helpers number one fewer than the processors the process may use, as
// far as its open-file limit allows. They start with the first tree to
// remove and stop when the crew is destroyed. Waiting threads sleep.
class RemovalCrew {
 public:
  using Job = std::function<void()>;

  RemovalCrew();
  ~RemovalCrew();
  RemovalCrew(const RemovalCrew&) = delete;
  RemovalCrew& operator=(const RemovalCrew&) = delete;

  // Starts the helpers, once.
  void Start();
  // True while the helpers have fewer jobs waiting than they can take at
  // once.
  bool WantsWork() const;
  // Hands a job to the next thread that looks for work.
  void Offer(Job job);
  // Runs offered jobs until `done` is set, sleeping meanwhile.
  void RunJobs(const std::atomic<bool>& done);
  // Sets `done` and wakes those waiting for it in RunJobs; the flag may
  // be destroyed as soon as it is set.
  void MarkDone(std::atomic<bool>& done);

 private:
  void Help();

  std::size_t helpersWanted_ = 0;
  bool started_ = false;
  std::vector<std::thread> helpers_;

  std::mutex mutex_;              // guards what follows
  std::condition_variable wake_;  // a job came, an entry was done, or the crew stops
  std::deque<Job> jobs_;
  std::atomic<bool> stopping_ = false;  // set under the lock, read with or without it

  std::atomic<std::size_t> queued_ = 0;  // jobs_.size(), to be read without the lock
};

}  // namespace kelvane
