#include "expiry/removal_crew.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "runtime/file_system.h"
#include "runtime/process.h"

namespace kelvane {
namespace {

// More threads than this gain nothing: removals within one directory wait
// for each other in the file system.
constexpr std::size_t MostThreads = 8;

// Jobs offered and not yet taken, for each helper: one to take as soon as
// it is done, one more while the walker is deep in another.
constexpr std::size_t OffersPerHelper = 2;

// Open files one thread may hold beside its walk's window of open
// directories: a subdirectory being opened, the parents of the
// subdirectories its jobs offered (as many as a helper may have waiting,
// and one more where threads offer at the same moment), and one the
// system opens to tell a mount point.
constexpr std::size_t FilesBesideWindow = 1 + OffersPerHelper + 1 + 1;

// Open files the run holds beside its threads: the standard three, the
// archive, and a spare pair.
constexpr std::size_t FilesBesideThreads = 6;

std::size_t HelpersAllowed() {
  const std::size_t limit = OpenFileLimit();
  const std::size_t perThread = OpenDirectoryWindow + FilesBesideWindow;
  const std::size_t byFiles = limit > FilesBesideThreads ? (limit - FilesBesideThreads) / perThread : 0;
  const std::size_t threads = std::min({UsableProcessors(), MostThreads, std::max<std::size_t>(byFiles, 1)});
  return threads - 1;
}

}  // namespace

RemovalCrew::RemovalCrew() : helpersWanted_(HelpersAllowed()) {}

RemovalCrew::~RemovalCrew() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

void RemovalCrew::Start() {
  if (std::exchange(started_, true)) return;
  for (std::size_t i = 0; i < helpersWanted_; ++i) {
    try {
      helpers_.emplace_back(&RemovalCrew::Help, this);
    } catch (const std::system_error&) {
      return;  // the run goes on with the threads it has
    }
  }
}

bool RemovalCrew::WantsWork() const {
  return queued_.load(std::memory_order_relaxed) < helpers_.size() * OffersPerHelper;
}

void RemovalCrew::Offer(Job job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    queued_ = jobs_.size();
  }
  wake_.notify_one();
}

void RemovalCrew::RunJobs(const std::atomic<bool>& done) {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return !jobs_.empty() || done; });
    if (jobs_.empty()) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    queued_ = jobs_.size();
    lock.unlock();
    job();
    lock.lock();
  }
}

void RemovalCrew::MarkDone(std::atomic<bool>& done) {
  // Notified under the lock: the flag's owner may go once it is released.
  std::lock_guard lock(mutex_);
  done = true;
  wake_.notify_all();
}

void RemovalCrew::Help() {
  PrepareThread();
  RunJobs(stopping_);
}

}  // namespace kelvane
