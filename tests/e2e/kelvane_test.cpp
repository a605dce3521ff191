// Runs the built tool as a user would and checks its output bytes, its exit
// code and what it leaves on disk, one row per case.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "runtime/file_system.h"
#include "support/support.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using namespace testing;

// "@N" in a name stands for the date N days ago.
std::string Dated(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '@') {
      out += text[i];
      continue;
    }
    std::size_t end = text[i + 1] == '-' ? i + 2 : i + 1;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    out += DateDaysAgo(std::stoi(text.substr(i + 1, end - i - 1)));
    i = end - 1;
  }
  return out;
}

std::string File(const std::string& name, int age) { return Report(Dated(name), age, false); }
std::string Dir(const std::string& name, int age) { return Report(Dated(name), age, true); }

struct Case {
  std::string what;
  std::vector<std::string> tree;  // built in the archive
  std::vector<std::string> args;  // "%A" stands for the archive
  std::vector<std::string> out;   // in any order
  std::string err;                // "%A" stands for the archive
  int exitCode;
  std::vector<std::string> left;  // what stays in the archive
  RunOptions options = {};
  std::function<void(const std::string& archive)> prepare = nullptr;
  bool posixOnly = false;
};

// "%A" stands for the archive, "%L" for the longest archive path kept.
std::string WithArchive(std::string text, const std::string& archive) {
  for (std::size_t at; (at = text.find("%A")) != std::string::npos;) text.replace(at, 2, archive);
  for (std::size_t at; (at = text.find("%L")) != std::string::npos;)
    text.replace(at, 2, (archive + "/" + std::string(250, 'a')).substr(0, 255));
  return text;
}

void Link(const std::string& target, const std::string& link) { fs::create_directory_symlink(target, link); }

TEST(KelvaneTest, Cases) {
  const int today = TodayNumber();
  const std::string sep(1, PathSeparator);
  const int nobody = 65534;
  const std::vector<std::string> files{"@31/", "@31/a/", "@31/a/x", "@31.zip"};
  const std::vector<std::string> usage = SortedLines(Usage);
  const Case cases[] = {
      {"no argument", {}, {}, usage, "", 0, {}},
      {"usage", {"@50"}, {"/?", "30"}, usage, "", 0, {"@50"}},
      {"empty archive path", {"@50"}, {"", ""}, usage, "", 0, {"@50"}},
      {"not the help request", {}, {"-?"}, {"Path -?" + sep + " is not a valid path"}, "", 0, {}},
      {"missing archive", {}, {"%A/no"}, {"Path %A/no" + sep + " is not a valid path"}, "", 0, {}},
      {"missing with separator",
       {},
       {"%A/no" + sep},
       {"Path %A/no" + sep + " is not a valid path"},
       "",
       0,
       {}},
      {"archive path too long",
       {std::string(250, 'a') + "/", std::string(250, 'a') + "/@50"},
       {"%A/" + std::string(250, 'a')},
       {"Path %L" + sep + " is not a valid path"},
       "",
       0,
       {std::string(250, 'a') + "/", std::string(250, 'a') + "/@50"}},
      {"archive is a file", {"@50.zip"}, {"%A/@50.zip"}, {}, "", 0, {"@50.zip"}},
      {"only the expired go",
       {"@31/", "@31/inner.log", "@31.zip", "@30.zip", "@0.log", "@-400", "notes.txt", "backup/",
        "2001-05-14"},
       {"%A", "30"},
       {Dir("@31", 31), File("@31.zip", 31)},
       "",
       0,
       {"2001-05-14", "@-400", "@0.log", "@30.zip", "backup/", "notes.txt"}},
      {"default history", {"@40", "@41"}, {"%A"}, {File("@41", 41)}, "", 0, {"@40"}},
      {"history 0", {"@40", "@41"}, {"%A", "0"}, {File("@41", 41)}, "", 0, {"@40"}},
      {"history negative", {"@40", "@41"}, {"%A", "-3"}, {File("@41", 41)}, "", 0, {"@40"}},
      {"history not a number", {"@40", "@41"}, {"%A", "abc"}, {File("@41", 41)}, "", 0, {"@40"}},
      {"history's head", {"@7", "@8"}, {"%A", "7x"}, {File("@8", 8)}, "", 0, {"@7"}},
      {"history hexadecimal", {"@30", "@31"}, {"%A", "$1E"}, {File("@31", 31)}, "", 0, {"@30"}},
      {"history 1", {"@1", "@2"}, {"%A", "1"}, {File("@2", 2)}, "", 0, {"@1"}},
      {"third argument", {"@2", "@3"}, {"%A", "2", "9"}, {File("@3", 3)}, "", 0, {"@2"}},
      {"odd dates",
       {"19690101", "00010101x", "+20010514", " 2001051", "00000101", "2001A101"},
       {"%A", "30"},
       {File(" 2001051", today), File("+20010514", today), File("00010101x", today), File("19690101", today)},
       "",
       0,
       {"00000101", "2001A101"}},
      {"names are not patterns",
       {"@50*", "@50?/", "@50?/[a]", "@50?/*", "@5*", "@5?"},
       {"%A", "30"},
       {File("@50*", 50), Dir("@50?", 50)},
       "",
       0,
       {"@5*", "@5?"},
       {},
       nullptr,
       true},
      {"standard output closed", files, {"%A", "30"}, {}, "", 0, {}, {.output = Output::Closed}},
      {"standard output full", files, {"%A", "30"}, {}, "", 0, {}, {.output = Output::Full}},
      {"links removed, targets kept",
       {"keep/", "keep/file", "@52/"},
       {"%A"},
       {File("@51", 51), Dir("@52", 52)},
       "",
       0,
       {"keep/", "keep/file"},
       {},
       [](const std::string& a) {
         Link(a + "/keep", a + "/" + Dated("@51"));
         Link(a + "/keep", a + "/" + Dated("@52/in"));
         Link(a, a + "/" + Dated("@52/up"));
       },
       true},
      {"archive is a link",
       {"@50/", "@50/@60"},
       {"%A/link"},
       {File("@60", 60)},
       "",
       0,
       {"@50/", "link"},
       {},
       [](const std::string& a) { Link(a + "/" + Dated("@50"), a + "/link"); },
       true},
      {"modes opened up inside the expired tree only",
       {"@50/", "@50/none/", "@50/none/f", "@50/r-x/", "@50/r-x/in/", "@50/r-x/in/f", "@50/rw-a/",
        "@50/rw-a/f", "@50/rw-a/s/", "@50/rw-a/s/g", "@50/rw-b/", "@50/rw-b/f/", "@50/rw-b/f/g", "@50/rw-b/s",
        "@51.zip"},
       {"%A"},
       {Dir("@50", 50), File("@51.zip", 51)},
       "kelvane: cannot remove %A/" + Dated("@50") + ": Permission denied\nkelvane: cannot remove %A/" +
           Dated("@51.zip") + ": Permission denied\n",
       2,
       {"@50/", "@51.zip"},
       {.user = nobody},
       [](const std::string& a) {
         for (const auto& e : fs::recursive_directory_iterator(a)) ChangeOwner(e.path().string(), nobody);
         ChangeOwner(a, nobody);
         const std::pair<const char*, fs::perms> modes[] = {
             {"none", fs::perms::none},
             {"r-x", fs::perms::owner_read | fs::perms::owner_exec},
             {"rw-a", fs::perms::owner_read | fs::perms::owner_write},
             {"rw-b", fs::perms::owner_read | fs::perms::owner_write},
             {"..", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                        fs::perms::others_exec}};
         for (const auto& [name, mode] : modes) fs::permissions(a + "/" + Dated("@50/") + name, mode);
       },
       true},
      {"deep chain, few descriptors",
       {"@50/", "notes.txt"},
       {"%A"},
       {Dir("@50", 50)},
       "",
       0,
       {"notes.txt"},
       {.openFileLimit = 16},
       [](const std::string& a) { MakeChain(a + "/" + Dated("@50"), 20000); },
       true},
      {"what cannot go is named",
       {"@50/", "@50/mine/", "@50/mine/file", "@50/roots\n/", "@50/roots\n/file", "@50/zfile", "@51.zip"},
       {"%A"},
       {Dir("@50", 50), File("@51.zip", 51)},
       "kelvane: cannot remove %A/" + Dated("@50/roots\\x0A/file") + ": Permission denied\n",
       2,
       {"@50/", "@50/roots\n/", "@50/roots\n/file"},
       {.user = nobody},
       [](const std::string& a) {
         for (const char* path : {"", "/@50", "/@50/mine", "/@50/mine/file", "/@51.zip", "/@50/zfile"})
           ChangeOwner(a + Dated(path), nobody);
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.posixOnly && !HavePosix()) continue;
    if (c.options.user >= 0 && !RunningAsRoot()) continue;
    TempDir tmp;
    // Another user must be able to reach the archive.
    fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::others_exec);
    const std::string archive = tmp / "archive";
    MakeDirectory(archive);
    std::vector<std::string> tree, left, out;
    for (const std::string& entry : c.tree) tree.push_back(Dated(entry));
    for (const std::string& entry : c.left) left.push_back(Dated(entry));
    for (const std::string& line : c.out) out.push_back(WithArchive(line, archive));
    std::sort(left.begin(), left.end());
    Build(archive, tree);
    if (c.prepare) c.prepare(archive);
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(Dated(WithArchive(arg, archive)));
    const RunResult run = RunKelvane(args, c.options);
    std::sort(out.begin(), out.end());
    EXPECT_EQ(run.out.size(), Lines(out).size()) << run.out;
    EXPECT_EQ(SortedLines(run.out), out);
    EXPECT_EQ(SortedLines(run.err), SortedLines(WithArchive(c.err, archive)));
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(Tree(archive), left);
  }
}

// Several threads end as one does: the same bytes on standard output, the
// same lines on standard error, the same exit code and the same entries
// left, over wide trees that hold directories an unprivileged run cannot
// empty.
TEST(KelvaneTest, SeveralThreadsEndAsOneDoes) {
  if (!HavePosix() || !RunningAsRoot()) GTEST_SKIP() << "needs root to switch users";
  const int nobody = 65534;
  std::vector<RunResult> runs;
  std::vector<std::vector<std::string>> left;
  TempDir tmp;
  fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::others_exec);
  const std::string archive = tmp / "archive";
  for (const bool one : {true, false}) {
    fs::remove_all(archive);
    MakeDirectory(archive);
    Build(archive, {"20010101/", "20010102/", "20010103.zip"});
    for (const std::string entry : {"/20010101", "/20010102"}) {
      for (int s = 0; s < 8; ++s) {
        const std::string sub = archive + entry + "/s" + std::to_string(s);
        MakeDirectory(sub);
        for (int f = 0; f < 30; ++f) WriteFile(sub + "/f" + std::to_string(f));
        if (s % 3 == 1) Build(sub, {"roots/", "roots/file"});
      }
    }
    ChangeOwner(archive, nobody);
    for (const auto& entry : fs::recursive_directory_iterator(archive))
      if (entry.path().string().find("roots") == std::string::npos)
        ChangeOwner(entry.path().string(), nobody);
    runs.push_back(RunKelvane({archive}, {.user = nobody, .oneProcessor = one}));
    left.push_back(Tree(archive));
  }
  EXPECT_EQ(runs[0].out, runs[1].out);
  EXPECT_EQ(SortedLines(runs[0].err), SortedLines(runs[1].err));
  EXPECT_EQ(SortedLines(runs[0].err).size(), 6u) << runs[0].err;
  EXPECT_EQ(runs[0].exitCode, 2);
  EXPECT_EQ(runs[1].exitCode, 2);
  EXPECT_EQ(left[0], left[1]);
}

}  // namespace
}  // namespace kelvane
