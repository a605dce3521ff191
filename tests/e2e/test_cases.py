# The tool as a user meets it, one row a case: the tree to build, the
# arguments, what the run writes, its exit code and what stays. Lists are
# separated by '|'; in them "@N" is the date N days ago, "%A" the archive
# and "%L" the longest archive path the tool keeps. An output line "NAME
# AGE" is the report line of NAME (a directory when it ends in '/'), AGE "T"
# the age of the year-200 names, today's day number; report lines come in
# the order given, error lines in any. Nothing outside the
# archive may change, nor any directory stay open at the end. A `wide` row
# gives helper threads work: it runs on one processor and on all, which
# must end alike, and on all it must not be removed by one thread alone.
import datetime
import os
import time

import pytest
from runner import (NOBODY, SEP, WINDOWS, as_root, build, expand, lines, make_chain, posix, run, scratch_directory,
                    shim_log, tree, windows)

TODAY = (datetime.date.today() - datetime.date(1969, 12, 31)).days
USAGE = ('Kelvane v1.0|Usage: Kelvene Arcpath [history]| Files/Directories in Arcpath older than "history" days'
         " will be erased| Defualt for history is 40 days| File and directory names should have the following"
         " form yyyymmdd*.*| Written by the Kelvane developers")
A250, D250 = "a" * 250, "d" * 250


# The whole archive goes to nobody, but for entries named "roots"; then
# the entries of @50 named in `modes` get those modes.
def give_to_nobody(archive, modes=()):
    for path in [archive] + [os.path.join(top, n) for top, dirs, files in os.walk(archive) for n in dirs + files]:
        if "roots" not in path[len(archive):]:
            os.lchown(path, NOBODY, NOBODY)
    for name, mode in modes:
        os.chmod(os.path.join(expand(archive + "/@50", archive), name), mode)


# Gives entries attributes as Wine keeps them: read-only (1) in the mode,
# hidden (2) and system (4) beside it.
def attributes(archive, bits):
    for name, bit in bits.items():
        os.setxattr(expand(f"{archive}/{name}", archive), "user.DOSATTRIB", b"0x%x" % (bit & 6))
        bit & 1 and os.chmod(expand(f"{archive}/{name}", archive), 0o555)


# Prepares the archive, and gives the check that the run changed nothing
# in it: no mode, no attribute (which Wine keeps in the mode and beside
# it), no time.
def untouched(prepare):
    def stamps(archive):
        return {(top, n, st.st_mode, st.st_mtime_ns, st.st_ctime_ns) for top, dirs, files in os.walk(archive)
                for n in ["", *dirs, *files] for st in [os.lstat(os.path.join(top, n))]}

    def prepared(archive):
        prepare(archive)
        before = stamps(archive)
        return lambda: stamps(archive) == before or pytest.fail("the archive changed")
    return prepared


def has_attributes(path, bit):
    assert (os.getxattr(path, "user.DOSATTRIB"), os.stat(path).st_mode & 0o200) == (b"0x%x" % (bit & 6), 0)


# Made on the Unix side: what Wine cannot name, and links.
LONG = "\\".join([D250] * 20)
CANNOT, TOO_LONG, ELSEWHERE = "kelvane: cannot remove %A\\@50", ": File name is too long", \
    ": the name leads elsewhere (a link that cannot be removed by itself here)"


# A 32-bit program is shown SysWOW64 where it names System32, where no
# such name exists.
SYSTEM32, K = f"kv{os.getpid()}", "../../../dosdevices/k:"


# Files that stay beside chains deeper than the window of open directories,
# over ten batches of a listing: back from a chain, the walk reads on from
# where it was, and reads the whole directory only once more at its end.
KEPT = "@50/|" + "|".join(f"@50/k{i:05d}" + "".join(f"|@50/c{i // 100:02d}" + "/d" * j + "/" for j in range(5))
                          * (i % 100 == 0) for i in range(10000))
REFUSED = "|".join(f"kelvane: cannot remove %A/@50/{name}: Operation not permitted" for name in
                   [f"k{i:05d}" for i in range(10000)] + [f"c{c:02d}/d/d/d/d" for c in range(100)])


# Option words refused, each with nothing removed: the line begins with
# its reason, and unknown words name the options known.
REFUSED_WORDS = {"kelvane: unknown option {} (the options are --dry-run and --keep=N)": "--dryrun --keep -- --DRY-RUN",
                 "kelvane: --keep needs a whole number from 0 to 4294967295: {}":
                 "--keep= --keep=x --keep=-1 --keep=+1 --keep=4294967296 --keep=99999999999999999999"}
DRY = "@50/|@50/none/|@50/none/f|@50/r-x/|@50/r-x/f|@51.zip"
SHUFFLED = [53, 41, 47, 60, 44, 58, 49, 42, 55, 51, 46, 57]
KEEPING = f"kelvane: keeping %A{SEP}@{{}}, {{}} days old, as one of the {{}} newest dated entries"


# A place in Wine's prefix: System32, or with "../../.." its drive letters.
def windir(name):
    return os.environ.get("WINEPREFIX", "") + "/drive_c/windows/system32/" + name


def row(what, tree_, args, out, err, code, left, marks=(), prepare=None, **how):
    return pytest.param(tree_, args, out, err, code, left, prepare, how, id=what, marks=marks)


ROWS = [
    row("no argument", "", "", USAGE, "", 0, ""),
    row("usage", "@50", "/?|30", USAGE, "", 0, "@50"),
    row("empty archive path", "@50", "|", USAGE, "", 0, "@50"),
    # Wine cuts an argument at a control character.
    row("missing archive", "", "%A/no\x1b[2J", f"Path %A/no\\x1B[2J{SEP} is not a valid path",
        f"kelvane: cannot find archive %A/no\\x1B[2J{SEP}", 0, "", posix),
    row("an option word first is an archive path, its separator kept", "", f"--help{SEP}",
        f"Path --help{SEP} is not a valid path", f"kelvane: cannot find archive --help{SEP}", 0, ""),
    row("archive is a file", "@50.zip", "%A/@50.zip", "", f"kelvane: cannot read %A/@50.zip{SEP}: " +
        ("Directory name invalid" if WINDOWS else "Not a directory"), 0, "@50.zip"),
    row("only the expired go", "@31/|@31/in.log|@31.zip|@30.zip|@0.log|@-400|notes.txt|backup/|2001-05-14", "%A|30",
        "@31/ 31|@31.zip 31", "", 0, "2001-05-14|@-400|@0.log|@30.zip|backup/|notes.txt"),
    row("default history", "@40|@41", "%A", "@41 41", "", 0, "@40"),
    row("history 0", "@40|@41", "%A|0", "@41 41", "", 0, "@40"),
    row("history negative", "@40|@41", "%A|-3", "@41 41", "", 0, "@40"),
    row("history hexadecimal", "@30|@31", "%A|$1E", "@31 31", "", 0, "@30"),
    row("history's head", "@7|@8", "%A|7x", "@8 8", "", 0, "@7"),
    row("third argument", "@2|@3", "%A|2|9", "@3 3", "", 0, "@2"),
    row("odd dates", "19690101|00010101x|+20010514| 2001051|00000101|2001A101", "%A|30",
        " 2001051 T|+20010514 T|00010101x T|19690101 T", "", 0, "00000101|2001A101"),
    # Option words anywhere after the archive; what is left reads as always.
    row("dry run before the history", "@30|@31", "%A|--dry-run|30|9", "@31 31", "", 0, "@30|@31"),
    *[row(f"{word} refused", "@50", f"%A|{word}|30", "", line.format(word), 64, "@50")
      for line, words in REFUSED_WORDS.items() for word in words.split()],
    # Backups that stopped: the newest dated entries stay, whatever their
    # age; young ones count first, and of one date the later name is newer.
    row("keep over backups that stopped", "@45|@46|@47|@48/|@48/f|@60", "%A|40|--keep=3", "@60 60|@48/ 48",
        "|".join(KEEPING.format(d, d, 3) for d in (45, 46, 47)), 0, "@45|@46|@47"),
    row("keep counts young entries", "@-3|@45a|@45b|@50|@60/|notes", "%A|--keep=2|30", "@60/ 60|@50 50|@45a 45",
        KEEPING.format("45b", 45, 2), 0, "@-3|@45b|notes"),
    row("keep removes nothing from an archive read in part", "@50|@60", "%A|--keep=1", "",
        "kelvane: cannot read %A/: Input/output error", 2, "@50|@60", posix, faults="getdents64:2:5"),
    row("keep in a dry run, history 40", "@45|@50", "%A|--keep=01|--dry-run", "@50 50", KEEPING.format(45, 45, 1), 0,
        "@45|@50"),
    row("priorities for the journal", "@45|@50|@60", "%A|--keep=1", "@60 60|@50 50", "<3>kelvane: cannot remove "
        "%A/@60: Operation not permitted|<4>" + KEEPING.format(45, 45, 1), 2, "@45|@60", posix, faults="unlinkat:1:1",
        env={"JOURNAL_STREAM": "err"}),
    # Nobody's run on Linux, whose modes forbid, and Wine's attributes.
    row("a dry run after the history changes nothing", DRY, "%A|30|--dry-run", "@51.zip 51|@50/ 50", "", 0, DRY,
        () if WINDOWS else as_root, untouched(lambda a: attributes(a, {"@50": 1, "@50/r-x/f": 1, "@51.zip": 7})
                                              if WINDOWS else give_to_nobody(a, [("none", 0), ("r-x", 0o500)])),
        user=None if WINDOWS else NOBODY),
    row("reports in name order", "|".join(f"@{d}{x}" for d in SHUFFLED for x in "b/a"), "%A",
        "|".join(f"@{d}{x} {d}" for d in sorted(SHUFFLED, reverse=True) for x in "/ab"), "", 0, ""),
    row("standard output full", "@31/|@31/a/|@31/a/x|@31.zip", "%A|30", "", "", 0, "", output="full"),
    # A file that fills half-way through a line keeps the lines before it;
    # another writer's line after the piece keeps the piece. On standard
    # error, the lines after a piece taken back go on.
    row("standard output fills", "", "", "Kelvane v1.0", "", 0, "", size=20),
    row("standard output fails, and stays silent", "", "", "Kelvane v1.0", "", 0, "", posix, faults="write:2:28"),
    row("standard output fills within a line", "@50.zip", "%A", "", "", 0, "", size=20),
    row("another writer's line is never taken", "@50.zip", "%A", "@50.zip 50 dayother line", "", 0, "", posix,
        faults="write:1:other"),
    row("standard error fills within a line", "@50.zip", "%A", "",
        "kelvane: cannot remove %A/@50.zip: Operation not permitted", 2, "@50.zip", posix, output="closed",
        faults="unlinkat:1:1,getdents64:2:5,write:1:short"),
    # What the cut path names is no archive.
    row("archive path too long", "%C/|%C/@50", f"%A{SEP}{A250}", f"Path %L{SEP} is not a valid path",
        f"kelvane: archive path too long: %L{SEP}", 0, "%C/|%C/@50"),
    row("names are not patterns", "@50*|@50?/|@50?/[a]|@50?/*|@5*|@5?", "%A|30", "@50* 50|@50?/ 50", "", 0,
        "@5*|@5?", posix),
    # Control characters could forge a report line: they are shown as their bytes.
    row("hostile names", "@50\x01x|@50../|@50../-rf|@50 --help|@50\u0085|--|..@50|@0\x7fy|-rf", "%A",
        "@50\\x01x 50|@50 --help 50|@50../ 50|@50\\xC2\\x85 50", "", 0, "--|..@50|@0\x7fy|-rf", posix),
    row("a file system that refuses every change is named once", "@50/|@50/a|@50/b|@50/c", "%A", "@50/ 50",
        "kelvane: cannot remove %A/@50: Read-only file system", 2, "@50/|@50/a|@50/b|@50/c", posix,
        faults="unlinkat:1+:30"),
    row("a wide tree goes on several threads", "@50/|" + "|".join(f"@50/{d}/|" + "|".join(
        f"@50/{d}/{f}" for f in range(200)) for d in "abcd"), "%A", "@50/ 50", "", 0, "", faults="unlinkat:1+:note",
        wide=True),
    row("entries that stay are read past once", KEPT, "%A", "@50/ 50", REFUSED, 2, KEPT, posix,
        faults="unlinkat:1+:1,getdents64:1400:5", wide=True),
    row("links removed, targets kept", "@51->../outside|@52/|@52/in->../../outside|@52/up->..", "%A",
        "@52/ 52|@51 51", "", 0, "", posix),
    row("archive is a dangling link", "gone->no", "%A/gone", "Path %A/gone/ is not a valid path",
        "kelvane: cannot find archive %A/gone/", 0, "gone", posix),
    row("archive is a link", "@50/|@50/@60|link->@50", "%A/link", "@60 60", "", 0, "@50/|link", posix),
    row("deep chain, few descriptors", "@50/|notes.txt", "%A", "@50/ 50", "", 0, "notes.txt", posix,
        lambda a: make_chain(expand(a + "/@50", a), 20000), files=16),
    # Modes opened up inside the expired tree only, never on the archive;
    # rw- directories may be listed but not searched, with a file listed
    # first in one and a subdirectory in the other.
    row("modes", "@50/|@50/none/|@50/none/f|@50/r-x/|@50/r-x/in/|@50/r-x/in/f|@50/rw-a/|@50/rw-a/f|@50/rw-a/s/"
        "|@50/rw-a/s/g|@50/rw-b/|@50/rw-b/f/|@50/rw-b/f/g|@50/rw-b/s|@51.zip", "%A", "@51.zip 51|@50/ 50",
        "kelvane: cannot remove %A/@50: Permission denied|kelvane: cannot remove %A/@51.zip: Permission denied",
        2, "@50/|@51.zip", as_root, lambda a: give_to_nobody(a, [("none", 0), ("r-x", 0o500), ("rw-a", 0o600),
                                                                 ("rw-b", 0o600), ("..", 0o505)]), user=NOBODY,
        wide=True),
    # Two threads meet the same directory while its mode is being changed:
    # both remove what they came for.
    row("threads opening up one directory", "@50/|@50/c1/|@50/c2/|" + "|".join(
        f"@50/c{c}/d{d}/{f}" for c in (1, 2) for d in (1, 2) for f in ["", *range(200)]), "%A", "@50/ 50", "", 0, "",
        as_root, lambda a: give_to_nobody(a, [("", 0o500)]), user=NOBODY, faults="fchmod:1+:delay", wide=True),
    # What nobody cannot remove is named, the line end in its name shown as
    # its byte; the rest goes.
    row("what cannot go is named", "@50/|@50/mine/|@50/mine/f|@50/roots\n/|@50/roots\n/f|@50/z|@51.zip", "%A",
        "@51.zip 51|@50/ 50", "kelvane: cannot remove %A/@50/roots\\x0A/f: Permission denied", 2,
        "@50/|@50/roots\n/|@50/roots\n/f", as_root, give_to_nobody, user=NOBODY),
    # Also where POSIX semantics refuse the read-only bit; a file that keeps
    # another name keeps its bits there.
    row("read-only, hidden and system entries go", "@50/|@50/r|@50/hidden/|@50/hidden/all|@51.zip", "%A",
        "@51.zip 51|@50/ 50", "", 0, "", windows,
        lambda a: attributes(a, {"@50": 1, "@50/r": 1, "@50/hidden": 7, "@50/hidden/all": 7, "@51.zip": 1,
                                 "../outside/canary": 7})
        or os.link(a + "/../outside/canary", expand(a + "/@50/hidden/linked", a))
        or (lambda: has_attributes(a + "/../outside/canary", 7)), answer="no read-only flag"),
    row("a file in use stays with the directories above it", "@50/|@50/a/|@50/a/held|@50/a/other|@50/b/|@50/b/f|"
        "@51.zip", "%A", "@51.zip 51|@50/ 50", CANNOT + "\\a\\held: Sharing violation", 2, "@50/|@50/a/|@50/a/held",
        windows, answer="hold %A\\@50\\a\\held", wide=True),
    row("a removal pending counts as done", "@50.zip", "%A", "@50.zip 50", "", 0, "", windows,
        answer="pending %A\\@50.zip"),
    row("names in any language, shown in the OEM code page", "@50 caf\u00e9|@50 \u00fcber/|@50 \u00fcber/na\u00efve"
        " \u65e5\u672c|@50 \u65e5\u672c|notes \u00e9", "%A", "@50 caf\x82 50|@50 \x81ber/ 50|@50 ?? 50", "", 0,
        "notes \u00e9", windows),
    row("a missing path in the OEM code page", "", "%A\\\u00e9", "Path %A\\\x82\\ is not a valid path",
        "kelvane: cannot find archive %A\\\x82\\", 0, "", windows),
    row("paths beyond MAX_PATH", "@50/", "%A", "@50/ 50", "", 0, "", windows,
        lambda a: make_chain(expand(a + "/@50", a), 150)),
    row("System32 is the one named", "@50.zip", f"C:\\windows\\system32\\{SYSTEM32}", "@50.zip 50", "", 0, "",
        windows, lambda a: os.symlink(a, windir(SYSTEM32)) or (lambda: os.unlink(windir(SYSTEM32)))),
    # Wine cannot name what lies this deep; Unix links never cost their targets.
    row("what Wine cannot name is too long; links never cost their targets", "@50/|@50/a/|@50/b/|@50/sub/|"
        "@50/other|@50/sub/dirlink->../../../outside|@50/filelink->../../outside/canary|@51->../outside", "%A",
        "@51/ 51|@50/ 50", "|".join([f"{CANNOT}\\a\\{LONG}\\f{TOO_LONG}", f"{CANNOT}\\b\\{LONG[:-251]}{TOO_LONG}",
                                    CANNOT + "\\filelink" + ELSEWHERE, CANNOT + "\\sub\\dirlink" + ELSEWHERE,
                                    "kelvane: cannot remove %A\\@51" + ELSEWHERE]), 2,
        "|".join(["@50/", "@50/a/", "@50/b/", "@50/a/" + LONG.replace("\\", "/") + "/f", "@50/filelink", "@50/sub/",
                  "@50/sub/dirlink", "@51"] + [f"@50/{x}/{LONG[:k * 251 - 1]}/".replace("\\", "/") for x in "ab"
                                               for k in range(1, 21)]), windows,
        lambda a: [make_chain(expand(a + "/@50/", a) + x, 20, D250, x == "a" and "f") for x in "ab"], wide=True),
    # Wine names an entry without the dot at its end.
    row("a backslash or a final dot makes an invalid name, not a path", "@50\\x|@51/|@51/y\\z|@51/t.", "%A",
        "@51/ 51|@50\\x 50", "|".join(f"kelvane: cannot remove %A\\{n}: Invalid name"
                                       for n in ["@50\\x", "@51\\y\\z", "@51\\t."]),
        2, "@50\\x|@51/|@51/y\\z|@51/t.", windows),
    row("a link to a name that differs only in case leads elsewhere", "arc/|arc/@50/|arc/@50/s->../../ARC/@50/S|ARC/|"
        "ARC/@50/|ARC/@50/S/|ARC/@50/S/in", "%A\\arc", "@50/ 50", "kelvane: cannot remove %A\\arc\\@50\\s" + ELSEWHERE,
        2, "arc/|arc/@50/|arc/@50/s|ARC/|ARC/@50/|ARC/@50/S/|ARC/@50/S/in", windows),
    row("a volume root is a valid archive", "@50.zip", "\\\\?\\K:\\", "@50.zip 50", "", 0, "", windows,
        lambda a: os.path.lexists(windir(K)) and os.unlink(windir(K)) or os.symlink(a, windir(K))
        or (lambda: os.unlink(windir(K)))),
    # The system answered for, where Wine cannot show what Windows does.
    row("only a linking reparse point is never entered", "@50/|@50/junction/|@50/junction/in|@50/cloud/|"
        "@50/cloud/in|@50/f", "%A", "@50/ 50", CANNOT + "\\junction: Directory is not empty", 2,
        "@50/|@50/junction/|@50/junction/in", windows, answer="reparse points", wide=True),
    row("plain, hidden and system entries go without the right to change attributes", "@50/|@50/plain|@50/hidden/|"
        "@50/hidden/system", "%A", "@50/ 50", "", 0, "", windows,
        lambda a: attributes(a, {"@50/hidden": 2, "@50/hidden/system": 4}), answer="no attribute changes"),
    row("an entry that stays keeps its attributes", "@50.zip", "%A", "@50.zip 50",
        "kelvane: cannot remove %A\\@50.zip: Access denied", 2, "@50.zip", windows,
        lambda a: attributes(a, {"@50.zip": 7}) or (lambda: has_attributes(expand(a + "/@50.zip", a), 7)),
        answer="no removal"),
    row("a listing without file ids", "@50/|@50/d/|@50/d/f|@50/f", "%A", "@50/ 50", "", 0, "", windows,
        answer="no file ids"),
    row("a listing of no bytes has ended", "@50.zip", "%A", "", "", 0, "@50.zip", windows, answer="no bytes listed"),
    row("an entry already being removed counts as gone", "@50.zip", "%A", "@50.zip 50", "", 0, "@50.zip", windows,
        answer="delete pending"),
    row("a name not given back is reported with its cause", "@50.zip", "%A", "@50.zip 50",
        "kelvane: cannot remove %A\\@50.zip: Invalid function", 2, "@50.zip", windows, answer="no names"),
    # A console shows every name as it is, whatever its code page; a file
    # gets the code page of the process's console (the OEM one where it has
    # none, as above).
    row("a console shows names as they are", "@50 caf\u00e9 \u65e5", "%A", "", "@50 caf\xc3\xa9 \xe6\x97\xa5 50", 0, "",
        windows, answer="console 437"),
    row("a file gets the code page of the console", "@50 caf\u00e9 \u65e5", "%A", "@50 caf\xc3\xa9 \xe6\x97\xa5 50", "",
        0, "", windows, answer="console UTF-8"),
]


# The expected lines of an output column, as bytes.
def report_lines(text, archive, ending):
    found = []
    for item in items(text, archive):
        name, _, age = item.rpartition(" ")
        if age == "T" or age.isdigit():
            shown = f"[{name[:-1]}]" if name.endswith("/") else name
            item = f"{shown} {TODAY if age == 'T' else age} days old, {ending}"
        found.append(item.encode("latin-1"))
    return found


def items(text, archive):
    return expand(text, archive).split("|") if text else []


CASES = [pytest.param(*r.values, one, id=r.id + (", one processor" if one else ""), marks=r.marks)
         for r in ROWS for one in [False, True][:1 + bool(r.values[-1].get("wide"))]]


@pytest.mark.parametrize("tree_, args, out, err, code, left, prepare, how, one", CASES)
def test_case(tree_, args, out, err, code, left, prepare, how, one):
    with scratch_directory() as scratch:
        archive = scratch + "/archive"
        build(scratch, ["archive/", "outside/", "outside/canary"])
        build(archive, items(tree_, archive))
        check = prepare and prepare(archive)
        how = {key: value for key, value in how.items() if key != "wide"}
        if "answer" in how:
            answer = expand(how.pop("answer"), archive)
            how.update(program=os.environ["KELVANE_ANSWERING"], env={"KELVANE_ANSWER": answer})
        status, written, said = run(items(args, archive), scratch, one, **how)
        errors, ending = lines(said), "would be deleted" if "--dry-run" in args else "deleting..."
        assert (status, lines(written), errors and sorted(errors)) == \
            (code, report_lines(out, archive, ending), sorted(report_lines(err, archive, ending)))
        # Wine closes the handles of a process a moment after it ended.
        expected, deadline = sorted(items(left, archive)), time.monotonic() + (1 if WINDOWS else 0)
        while tree(archive) != expected and time.monotonic() < deadline:
            time.sleep(0.02)
        assert tree(archive) == expected
        assert tree(scratch + "/outside") == ["canary"]
        callable(check) and check()
        if not WINDOWS:
            log = shim_log(scratch)
            removers = {line[2] for line in log if "note" in how.get("faults", "") and line[0] == "unlinkat"}
            several = not one and len(os.sched_getaffinity(0)) > 1
            assert (log[-1], several and len(removers) == 1, one and len(removers) > 1) == (["directories", "0"], 0, 0)
