#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "runtime/command_line.h"
#include "support/support.h"

namespace kelvane::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kelvane-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  // rm copes with any depth and with directories whose modes refuse entry.
  const std::string command = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
  if (std::system(command.c_str()) != 0) std::abort();
}

void WriteFile(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void MakeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0) throw std::runtime_error("cannot make " + path);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

void MakeChain(const std::string& dir, int depth) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; level < depth && fd >= 0; ++level) {
    mkdirat(fd, "d", 0755);
    const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  if (fd < 0) throw std::runtime_error("cannot build the chain in " + dir);
  close(fd);
}

namespace {

void RedirectChild(int target, const char* path, int flags) {
  const int fd = open(path, flags, 0644);
  if (fd < 0 || dup2(fd, target) < 0) _exit(126);
  close(fd);
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
  TempDir capture;
  const std::string outPath = capture / "out";
  const std::string errPath = capture / "err";
  std::string runnable = program;
  if (options.user >= 0) {
    ChangeOwner(capture.path(), options.user);
    // The build tree may lie below a directory the other user cannot
    // enter; a copy beside the captured output is always within reach.
    runnable = capture / "program";
    std::filesystem::copy_file(program, runnable);
  }

  std::vector<char*> argv;
  std::vector<std::string> copies{runnable};
  copies.insert(copies.end(), args.begin(), args.end());
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    switch (options.output) {
      case Output::Capture:
        RedirectChild(STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
        break;
      case Output::Closed:
        close(STDOUT_FILENO);
        break;
      case Output::Full:
        RedirectChild(STDOUT_FILENO, "/dev/full", O_WRONLY);
        break;
    }
    RedirectChild(STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    if (options.openFileLimit > 0) {
      const rlimit limit{static_cast<rlim_t>(options.openFileLimit),
                         static_cast<rlim_t>(options.openFileLimit)};
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
    }
    for (const std::string& setting : options.environment) putenv(const_cast<char*>(setting.c_str()));
    if (options.oneProcessor) UseOneProcessor(true);
    // A runner started in the background or under nohup ignores some of
    // these; the child gets the default actions that a user's shell gives.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, SIG_DFL);
    // A child that hangs is ended, so that its test fails instead of
    // stalling the suite.
    alarm(300);
    if (options.user >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(options.user)) != 0 ||
                              setuid(static_cast<uid_t>(options.user)) != 0))
      _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (options.killAfter.count() > 0) {
    usleep(static_cast<useconds_t>(options.killAfter.count()));
    kill(pid, SIGKILL);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  RunResult result;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadFile(outPath);
  result.err = ReadFile(errPath);
  return result;
}

RunResult RunCommandLine(const std::string& program, const std::string& arguments,
                         const RunOptions& options) {
  std::vector<std::string> args = SplitCommandLine(std::string_view("program " + arguments));
  args.erase(args.begin());
  return RunProgram(program, args, options);
}

void UseOneProcessor(bool one) {
  static cpu_set_t all;
  static const bool known = sched_getaffinity(0, sizeof all, &all) == 0;
  if (!known) return;
  cpu_set_t processors = all;
  if (one) {
    int first = 0;
    while (!CPU_ISSET(first, &all)) ++first;
    CPU_ZERO(&processors);
    CPU_SET(first, &processors);
  }
  sched_setaffinity(0, sizeof processors, &processors);
}

bool HavePosix() { return true; }

void ChangeOwner(const std::string& path, int user) {
  if (lchown(path.c_str(), static_cast<uid_t>(user), static_cast<gid_t>(user)) != 0)
    throw std::runtime_error("cannot change the owner of " + path);
}
bool RunningAsRoot() { return geteuid() == 0; }
bool UnderWine() { return false; }

}  // namespace kelvane::testing
