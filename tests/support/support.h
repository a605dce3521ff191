// Fixtures for tests on real directories, and a runner for built programs.
#pragma once

#include <chrono>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::testing {

// A new directory in the system's temporary directory, removed with
// everything below it when the test ends.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory's path, without a trailing separator.
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const;

 private:
  std::string path_;
};

void WriteFile(const std::string& path, std::string_view content = "x");
std::string ReadFile(const std::string& path);
void MakeDirectory(const std::string& path);
// True when an entry of this name exists; a link is not followed.
bool Exists(const std::string& path);
// The names inside a directory, sorted, without "." and "..".
std::vector<std::string> Names(const std::string& dir);

// Builds a chain of `depth` nested directories named "d" below `dir`,
// however long the path gets.
void MakeChain(const std::string& dir, int depth);

enum class Output { Capture, Closed, Full };

struct RunOptions {
  Output output = Output::Capture;
  int openFileLimit = 0;                      // 0: inherited
  int user = -1;                              // run under this user and group id; -1: unchanged
  std::vector<std::string> environment = {};  // NAME=value settings added for the child
  std::chrono::microseconds killAfter{0};     // killed outright this long after its start; 0: never
  bool oneProcessor = false;                  // may run on one processor only, and so on one thread
};

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs a program with these arguments and waits for its end. A program
// ended by a signal gets 128 plus the signal's number as exit code.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = {});

// Runs the built kelvane with these arguments.
RunResult RunKelvane(const std::vector<std::string>& args, const RunOptions& options = {});

// How often a randomised test repeats: `quick` in the everyday run,
// `thorough` when KELVANE_LONG_TESTS is set (./test.sh --long).
inline int Trials(int quick, int thorough) {
  return std::getenv("KELVANE_LONG_TESTS") != nullptr ? thorough : quick;
}

// Lets the calling thread, and the threads it starts, run on its first
// processor only (`one`), or on every processor the process may use.
void UseOneProcessor(bool one);

// True where POSIX facilities (open-file limits, users, modes) are there.
bool HavePosix();
// Gives the entry to this user and group id (POSIX only).
void ChangeOwner(const std::string& path, int user);
bool RunningAsRoot();

}  // namespace kelvane::testing
