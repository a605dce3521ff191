// Fixtures for tests on real directories, and a runner for built programs.
#pragma once

#include <chrono>
#include <cstdint>
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
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, std::string_view content = "x");
std::string ReadFile(const std::string& path);
void MakeDirectory(const std::string& path);
// True when an entry of this name exists; a link is not followed.
bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);
// The names inside a directory, sorted, without "." and "..".
std::vector<std::string> Names(const std::string& dir);
// Builds a chain of `depth` nested directories named "d" below `dir`,
// however long the path gets.
void MakeChain(const std::string& dir, int depth);

// Makes the entries below `root` in order: a name ending in '/' is a
// directory, "name->target" a symbolic link, any other a file holding its
// own name.
void Build(const std::string& root, const std::vector<std::string>& entries);
// Every entry below `root` in the same notation, sorted.
std::vector<std::string> Tree(const std::string& root);

enum class Output { Capture, Closed, Full };

struct RunOptions {
  Output output = Output::Capture;
  int openFileLimit = 0;                      // 0: inherited
  int user = -1;                              // run under this user and group id; -1: unchanged
  std::vector<std::string> environment = {};  // NAME=value settings added for the child
  std::chrono::microseconds killAfter{0};     // killed outright this long after its start; 0: never
  bool oneProcessor = false;                  // may run on one processor only, and so on one thread
  int fileSizeLimit = 0;                      // bytes a file may grow to (POSIX only); 0: inherited
};

struct RunResult {
  int exitCode = -1;
  std::string out, err;
};

// Runs a program with these arguments and waits for its end. A program
// ended by a signal gets 128 plus the signal's number as exit code.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = {});
RunResult RunKelvane(const std::vector<std::string>& args, const RunOptions& options = {});
// Runs a program with this text after its name, as Windows hands a program
// its command line; elsewhere the text is split as Windows would split it.
RunResult RunCommandLine(const std::string& program, const std::string& arguments,
                         const RunOptions& options = {});

// Lets the calling thread, and the threads it starts, run on its first
// processor only (`one`), or on every processor the process may use.
void UseOneProcessor(bool one);

// True where POSIX facilities (links, open-file limits, users, modes) are there.
bool HavePosix();
// Gives the entry to this user and group id (POSIX only).
void ChangeOwner(const std::string& path, int user);
bool RunningAsRoot();
// True when the tests run under Wine rather than Windows itself.
bool UnderWine();

// yyyymmdd of the local date `days` days before today (after, when negative).
std::string DateDaysAgo(int days);
std::int32_t TodayNumber();
// The lines of a text, sorted: report lines come in the directory's order.
std::vector<std::string> SortedLines(const std::string& text);

}  // namespace kelvane::testing
