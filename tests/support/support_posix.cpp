#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "runtime/command_line.h"
#include "support/support.h"

namespace kelvane::testing {

namespace fs = std::filesystem;

TempDir::TempDir() : path_((fs::temp_directory_path() / "kelvane-test-XXXXXX").string()) {
  if (mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  // rm copes with any depth and with directories whose modes refuse entry.
  if (std::system(("chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'").c_str()) != 0)
    std::abort();
}

void WriteFile(const std::string& path, std::string_view content) {
  if (!(std::ofstream(path, std::ios::binary) << content)) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void MakeDirectory(const std::string& path) { fs::create_directory(path); }
bool Exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }
bool IsDirectory(const std::string& path) { return fs::is_directory(fs::symlink_status(path)); }

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code unreadable;
  for (const auto& entry : fs::directory_iterator(dir, unreadable)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Relative to the directory above, as no path could name the deep end.
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

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
  TempDir capture;
  const std::string out = options.output == Output::Full ? "/dev/full" : capture / "out",
                    err = capture / "err";
  std::vector<std::string> copies{program};
  if (options.user >= 0) {
    // The build tree may lie below a directory the other user cannot
    // enter; a copy beside the captured output is always within reach.
    ChangeOwner(capture.path(), options.user);
    fs::copy_file(program, copies[0] = capture / "program");
  }
  copies.insert(copies.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const rlimit limit{static_cast<rlim_t>(options.openFileLimit), static_cast<rlim_t>(options.openFileLimit)};
  const pid_t pid = fork();
  if (pid == 0) {
    const auto redirect = [](int target, const std::string& path) {
      return dup2(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644), target) == target;
    };
    if (!(options.output == Output::Closed ? close(STDOUT_FILENO) == 0 : redirect(STDOUT_FILENO, out)) ||
        !redirect(STDERR_FILENO, err) || (options.openFileLimit > 0 && setrlimit(RLIMIT_NOFILE, &limit) != 0))
      _exit(126);
    for (const std::string& setting : options.environment) putenv(const_cast<char*>(setting.c_str()));
    if (options.oneProcessor) UseOneProcessor(true);
    const rlimit size{static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
    if (options.fileSizeLimit > 0 && setrlimit(RLIMIT_FSIZE, &size) != 0) _exit(126);
    // A runner started in the background or under nohup ignores some of
    // these; the child gets the default actions that a user's shell gives.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, SIG_DFL);
    alarm(300);  // a child that hangs fails its test instead of stalling the suite
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
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadFile(capture / "out"),
          ReadFile(err)};
}

RunResult RunCommandLine(const std::string& program, const std::string& arguments,
                         const RunOptions& options) {
  std::vector<std::string> args = SplitCommandLine(std::string_view("program " + arguments));
  return RunProgram(program, {args.begin() + 1, args.end()}, options);
}

void UseOneProcessor(bool one) {
  static cpu_set_t all;
  static const bool known = sched_getaffinity(0, sizeof all, &all) == 0;
  cpu_set_t first;
  CPU_ZERO(&first);
  for (int cpu = 0; CPU_COUNT(&first) == 0 && cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &all)) CPU_SET(cpu, &first);
  if (known) sched_setaffinity(0, sizeof all, one ? &first : &all);
}

bool HavePosix() { return true; }
bool RunningAsRoot() { return geteuid() == 0; }
bool UnderWine() { return false; }

void ChangeOwner(const std::string& path, int user) {
  if (lchown(path.c_str(), static_cast<uid_t>(user), static_cast<gid_t>(user)) != 0)
    throw std::runtime_error("cannot change the owner of " + path);
}

}  // namespace kelvane::testing
