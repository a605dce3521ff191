// Runs the built tool as a user would and checks its output bytes, its exit
// code and what it leaves on disk, one row per case.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "e2e/cases.h"
#include "expiry/tree_removal.h"
#include "runtime/console.h"
#include "runtime/file_system.h"
#include "support/support.h"

namespace kelvane::testing {
namespace {

namespace fs = std::filesystem;

std::string Expand(const std::string& text, const std::string& archive) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "%A") == 0 || text.compare(i, 2, "%L") == 0) {
      out += text[++i] == 'A' ? archive : (archive + "/" + std::string(250, 'a')).substr(0, 255);
    } else if (text[i] == '@') {
      std::size_t end = i + 2;
      while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
      out += DateDaysAgo(std::stoi(text.substr(i + 1, end - i - 1)));
      i = end - 1;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::string> Split(const std::string& list, const std::string& archive) {
  std::vector<std::string> items;
  for (std::size_t from = 0, to = 0; !list.empty() && to != std::string::npos; from = to + 1) {
    to = list.find('|', from);
    items.push_back(Expand(list.substr(from, to == std::string::npos ? to : to - from), archive));
  }
  return items;
}

std::vector<std::string> ExpectedLines(const std::string& out, const std::string& archive) {
  std::vector<std::string> lines;
  for (const std::string& item : Split(out, archive)) {
    const std::size_t blank = item.rfind(' ');
    const std::string name = item.substr(0, blank), age = item.substr(blank + 1);
    const bool dir = name.ends_with('/');
    if (age == "T" || age.find_first_not_of("0123456789") == std::string::npos)
      lines.push_back((dir ? '[' + name.substr(0, name.size() - 1) + ']' : name) + ' ' +
                      (age == "T" ? std::to_string(TodayNumber()) : age) + " days old, deleting...");
    else
      lines.push_back(item);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Removes the archive's one entry in this process, so that a seam can
// answer for the system; the exit code stands for what was reported.
RunResult RemoveHere(const std::string& archive) {
  Directory top;
  RemovalCrew crew;
  const std::string name = Names(archive).at(0), parent = archive + PathSeparator;
  const bool clean = OpenDirectory(archive, top).ok() &&
                     RemoveTree(crew, top, parent, name, IsDirectory(parent + name) ? AttrDirectory : 0);
  return {clean ? 0 : 2, "", ""};
}

const int nobody = 65534;

RunResult Run(const Case& c, const std::string& archive, bool one) {
  const auto has = [&](const char* word) { return c.how.find(word) != std::string::npos; };
  RunOptions options{.openFileLimit = has("files16") ? 16 : 0, .user = has("nobody") ? nobody : -1};
  options.fileSizeLimit = has("fsize") ? 20 : 0;
  options.output = has("closed") ? Output::Closed : has("full") ? Output::Full : Output::Capture;
  options.oneProcessor = one;
  if (has("here")) return RemoveHere(archive);
  if (has("slowchmod")) {
    // Within reach of another user, as the build tree may not be.
    fs::copy_file(SLOW_FCHMOD_LIBRARY, archive + ".so", fs::copy_options::overwrite_existing);
    options.environment = {"LD_PRELOAD=" + archive + ".so", "ASAN_OPTIONS=verify_asan_link_order=0"};
  }
  if (has("raw")) return RunCommandLine(KELVANE_BINARY, Expand(c.args, archive), options);
  return RunKelvane(Split(c.args, archive), options);
}

}  // namespace

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    if ((c.how.find("posix") != std::string::npos && !HavePosix()) ||
        (c.how.find("nobody") != std::string::npos && !RunningAsRoot()) ||
        (c.how.find("wine") != std::string::npos && !UnderWine()))
      continue;
    for (int runs = HavePosix() ? 2 : 1, one = 0; one < runs; ++one) {
      SCOPED_TRACE(std::string(c.what) + (one ? ", one processor" : ""));
      TempDir tmp;
      // Another user must be able to reach the archive.
      if (HavePosix()) fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::others_exec);
      const std::string archive = tmp / "archive";
      Build(tmp.path(), {"archive/", "outside/", "outside/canary"});
      Build(archive, Split(c.tree, archive));
      Held held = c.prepare ? c.prepare(archive) : nullptr;
      const RunResult run = Run(c, archive, one);
      held.reset();
      const std::vector<std::string> out = ExpectedLines(c.out, archive);
      std::size_t bytes = 0;  // every line ended as the platform ends lines
      for (const std::string& line : out) bytes += line.size() + LineEnd.size();
      EXPECT_EQ(run.out.size(), bytes) << run.out;
      EXPECT_EQ(SortedLines(run.out), out);
      EXPECT_EQ(SortedLines(run.err), ExpectedLines(c.err, archive));
      EXPECT_EQ(run.exitCode, c.exitCode);
      std::vector<std::string> left = Split(c.left, archive);
      std::sort(left.begin(), left.end());
      EXPECT_EQ(Tree(archive), left);
      EXPECT_EQ(Tree(tmp / "outside"), std::vector<std::string>{"canary"});
    }
  }
}

namespace {

// Gives the whole archive to nobody, but for entries named "roots".
Held GiveToNobody(const std::string& archive) {
  ChangeOwner(archive, nobody);
  for (const auto& entry : fs::recursive_directory_iterator(archive))
    if (entry.path().string().find("roots") == std::string::npos) ChangeOwner(entry.path().string(), nobody);
  return nullptr;
}

TEST(KelvaneTest, Cases) {
  const std::string a250(250, 'a'), sep(1, PathSeparator), tree = "@31/|@31/a/|@31/a/x|@31.zip";
  const std::string usage =
      "Kelvane v1.0|Usage: Kelvene Arcpath [history]| Files/Directories in Arcpath older than \"history\" "
      "days "
      "will be erased| Defualt for history is 40 days| File and directory names should have the following "
      "form "
      "yyyymmdd*.*| Written by the Kelvane developers";
  // Each c holds two subdirectories, one of them handed to another thread,
  // so that c1 and c2 go from @50 at about the same time on two threads.
  std::string shared = "@50/|@50/c1/|@50/c2/";
  for (const char* dir : {"c1/d1/", "c1/d2/", "c2/d1/", "c2/d2/"}) {
    shared += "|@50/" + std::string(dir);
    for (int f = 0; f < 200; ++f) shared += "|@50/" + std::string(dir) + std::to_string(f);
  }
  RunCases({
      {"no argument", "", "", usage, "", 0, ""},
      {"usage", "@50", "/?|30", usage, "", 0, "@50"},
      {"empty archive path", "@50", "|", usage, "", 0, "@50"},
      {"not the help request", "", "-?", "Path -?" + sep + " is not a valid path", "", 0, ""},
      {"missing archive", "", "%A/no\x1B[2J", "Path %A/no\\x1B[2J" + sep + " is not a valid path", "", 0, ""},
      {"missing, with separator", "", "%A/no" + sep, "Path %A/no" + sep + " is not a valid path", "", 0, ""},
      {"archive is a file", "@50.zip", "%A/@50.zip", "", "", 0, "@50.zip"},
      {"only the expired go", "@31/|@31/in.log|@31.zip|@30.zip|@0.log|@-400|notes.txt|backup/|2001-05-14",
       "%A|30", "@31/ 31|@31.zip 31", "", 0, "2001-05-14|@-400|@0.log|@30.zip|backup/|notes.txt"},
      {"default history", "@40|@41", "%A", "@41 41", "", 0, "@40"},
      {"history 0", "@40|@41", "%A|0", "@41 41", "", 0, "@40"},
      {"history negative", "@40|@41", "%A|-3", "@41 41", "", 0, "@40"},
      {"history hexadecimal", "@30|@31", "%A|$1E", "@31 31", "", 0, "@30"},
      {"history's head", "@7|@8", "%A|7x", "@8 8", "", 0, "@7"},
      {"third argument", "@2|@3", "%A|2|9", "@3 3", "", 0, "@2"},
      {"odd dates", "19690101|00010101x|+20010514| 2001051|00000101|2001A101", "%A|30",
       " 2001051 T|+20010514 T|00010101x T|19690101 T", "", 0, "00000101|2001A101"},
      {"standard output closed", tree, "%A|30", "", "", 0, "", "closed"},
      {"standard output full", tree, "%A|30", "", "", 0, "", "full"},
      // A file that fills half-way through a line keeps the lines before it.
      {"standard output fills", "", "", "Kelvane v1.0", "", 0, "", "posix fsize"},
      {"standard output fills between statements", "@50.zip", "%A", "", "", 0, "", "posix fsize"},
      {"archive path too long", a250 + "/|" + a250 + "/@50", "%A/" + a250,
       "Path %L" + sep + " is not a valid path", "", 0, a250 + "/|" + a250 + "/@50"},
      {"names are not patterns", "@50*|@50?/|@50?/[a]|@50?/*|@5*|@5?", "%A|30", "@50* 50|@50?/ 50", "", 0,
       "@5*|@5?", "posix"},
      // Control characters could forge a report line: they are shown as
      // their bytes.
      {"hostile names", "@50\x01x|@50../|@50../-rf|@50 --help|@50\xC2\x85|--|..@50|@0\x7Fy|-rf", "%A",
       "@50\\x01x 50|@50../ 50|@50 --help 50|@50\\xC2\\x85 50", "", 0, "--|..@50|@0\x7Fy|-rf", "posix"},
      {"links removed, targets kept", "@51->../outside|@52/|@52/in->../../outside|@52/up->..", "%A",
       "@51 51|@52/ 52", "", 0, "", "posix"},
      {"archive is a dangling link", "gone->no", "%A/gone", "Path %A/gone/ is not a valid path", "", 0,
       "gone", "posix"},
      {"archive is a link", "@50/|@50/@60|link->@50", "%A/link", "@60 60", "", 0, "@50/|link", "posix"},
      {"deep chain, few descriptors", "@50/|notes.txt", "%A", "@50/ 50", "", 0, "notes.txt", "posix files16",
       [](const std::string& a) { return MakeChain(a + "/" + Expand("@50", a), 20000), Held(); }},
      // Modes opened up inside the expired tree only, never on the archive;
      // rw- directories may be listed but not searched, with a file listed
      // first in one and a subdirectory in the other.
      {"modes",
       "@50/|@50/none/|@50/none/f|@50/r-x/|@50/r-x/in/|@50/r-x/in/f|@50/rw-a/|@50/rw-a/f|@50/rw-a/s/"
       "|@50/rw-a/s/g|@50/rw-b/|@50/rw-b/f/|@50/rw-b/f/g|@50/rw-b/s|@51.zip",
       "%A", "@50/ 50|@51.zip 51",
       "kelvane: cannot remove %A/@50: Permission denied|kelvane: cannot remove %A/@51.zip: Permission "
       "denied",
       2, "@50/|@51.zip", "nobody",
       [](const std::string& a) {
         GiveToNobody(a);
         for (const auto& [name, mode] :
              {std::pair{"none", 0}, {"r-x", 0500}, {"rw-a", 0600}, {"rw-b", 0600}, {"..", 0505}})
           fs::permissions(a + "/" + Expand("@50/", a) + name, static_cast<fs::perms>(mode));
         return Held();
       }},
      // Two threads meet the same directory while its mode is being
      // changed: both remove what they came for.
      {"threads opening up one directory", shared, "%A", "@50/ 50", "", 0, "", "nobody slowchmod",
       [](const std::string& a) {
         GiveToNobody(a);
         fs::permissions(a + "/" + Expand("@50", a), static_cast<fs::perms>(0500));
         return Held();
       }},
      // What nobody cannot remove is named, the line end in its name shown
      // as its byte; the rest goes.
      {"what cannot go is named", "@50/|@50/mine/|@50/mine/f|@50/roots\n/|@50/roots\n/f|@50/z|@51.zip", "%A",
       "@50/ 50|@51.zip 51", "kelvane: cannot remove %A/@50/roots\\x0A/f: Permission denied", 2,
       "@50/|@50/roots\n/|@50/roots\n/f", "nobody", GiveToNobody},
  });
}

}  // namespace
// Several threads end as one does: the same bytes on standard output, the
// same lines on standard error, the same exit code and the same entries
// left, over wide trees that hold directories an unprivileged run cannot
// empty.
TEST(KelvaneTest, SeveralThreadsEndAsOneDoes) {
  if (!HavePosix() || !RunningAsRoot()) GTEST_SKIP() << "needs root to switch users";
  std::vector<std::string> tree = {"archive/", "archive/20010101/", "archive/20010102/",
                                   "archive/20010103.zip"};
  for (int s = 0; s < 16; ++s) {
    const std::string sub =
        "archive/2001010" + std::to_string(1 + s / 8) + "/s" + std::to_string(s % 8) + "/";
    tree.push_back(sub);
    for (int f = 0; f < 30; ++f) tree.push_back(sub + "f" + std::to_string(f));
    if (s % 8 % 3 == 1) tree.insert(tree.end(), {sub + "roots/", sub + "roots/file"});
  }
  TempDir tmp;
  fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::others_exec);
  // How the threads meet varies from run to run: a few pairs of runs.
  for (int pair = 0; pair < 10; ++pair) {
    std::vector<RunResult> runs;
    std::vector<std::vector<std::string>> left;
    for (const bool one : {true, false}) {
      fs::remove_all(tmp / "archive");
      Build(tmp.path(), tree);
      GiveToNobody(tmp / "archive");
      runs.push_back(RunKelvane({tmp / "archive"}, {.user = nobody, .oneProcessor = one}));
      left.push_back(Tree(tmp / "archive"));
    }
    EXPECT_EQ(runs[0].out, runs[1].out);
    EXPECT_EQ(SortedLines(runs[0].err), SortedLines(runs[1].err));
    EXPECT_EQ(SortedLines(runs[0].err).size(), 6u) << runs[0].err;
    EXPECT_EQ(std::tuple(runs[0].exitCode, runs[1].exitCode), std::tuple(2, 2));
    EXPECT_EQ(left[0], left[1]);
  }
}

}  // namespace kelvane::testing
