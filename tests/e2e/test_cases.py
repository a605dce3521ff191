# The tool as a user meets it, one row a case: the tree to build, the
# arguments, what the run writes, its exit code and what stays. Lists are
# separated by '|'; in them "@N" is the date N days ago and "%A" the
# archive. An output line "NAME AGE" is the report line of NAME (a
# directory when it ends in '/'), AGE "T" the age of the year-200 names,
# today's day number; "%L" the longest archive path the tool keeps. Every row runs on one processor and on all, which
# must end alike; nothing outside the archive may change.
import datetime
import os

import pytest
from runner import NOBODY, SEP, Scratch, as_root, build, expand, make_chain, native, posix, lines, run, tree, windows

TODAY = (datetime.date.today() - datetime.date(1969, 12, 31)).days
OLD = (datetime.date.today() - datetime.date(2001, 1, 1)).days  # the age of 20010101
USAGE = (
    'Kelvane v1.0|Usage: Kelvene Arcpath [history]| Files/Directories in Arcpath older than "history" days will'
    " be erased| Defualt for history is 40 days| File and directory names should have the following form"
    " yyyymmdd*.*| Written by the Kelvane developers"
)
A250, TREE = "a" * 250, "@31/|@31/a/|@31/a/x|@31.zip"


# The whole archive goes to nobody, but for entries named "roots".
def give_to_nobody(archive):
    os.lchown(archive, NOBODY, NOBODY)
    for top, dirs, files in os.walk(archive):
        for name in dirs + files:
            if "roots" not in os.path.join(top, name):
                os.lchown(os.path.join(top, name), NOBODY, NOBODY)


# Modes opened up inside the expired tree only, never on the archive;
# rw- directories may be listed but not searched, with a file listed first
# in one and a subdirectory in the other.
def modes(archive):
    give_to_nobody(archive)
    for name, mode in [("none", 0), ("r-x", 0o500), ("rw-a", 0o600), ("rw-b", 0o600), ("..", 0o505)]:
        os.chmod(os.path.join(archive, expand("@50", archive), name), mode)


def locked(archive):
    give_to_nobody(archive)
    os.chmod(os.path.join(archive, expand("@50", archive)), 0o500)


# Read-only (1) everywhere, hidden and system as well (7) in "hidden":
# Wine keeps the read-only bit in the mode, the others beside it.
def attributes(archive):
    for entry in tree(archive):
        os.setxattr(os.path.join(archive, entry), "user.DOSATTRIB", b"0x7" if "hidden" in entry else b"0x1")
        os.chmod(os.path.join(archive, entry), 0o555)


# What Wine cannot name is too long; Unix links never cost their targets.
def unix_made(archive):
    os.makedirs(archive + "/20010101/sub")
    build(archive, ["20010101/other", "20010101/sub/dirlink->../../../outside", "20010101/filelink->"
                    "../../outside/canary", "20010101d->../outside", "20010101/a/", "20010101/b/"])
    make_chain(archive + "/20010101/a", 20, "d" * 250)
    make_chain(archive + "/20010101/b", 20, "d" * 250)
    fd = os.open(archive + "/20010101/a/" + "/".join(["d" * 250] * 15), os.O_RDONLY)
    os.close(os.open("/".join(["d" * 250] * 5) + "/f", os.O_CREAT | os.O_WRONLY, dir_fd=fd))


# A wide tree for threads: two directories of eight subdirectories, some of
# them holding what nobody cannot remove.
WIDE = "|".join(
    ["@50/", "@51/", "@52.zip"]
    + [f"@5{s // 8}/s{s % 8}/" + f for s in range(16) for f in ["", *map(str, range(30))]]
    + [f"@5{s // 8}/s{s % 8}/roots/" + f for s in range(16) if s % 8 % 3 == 1 for f in ["", "file"]]
)
WIDE_ERR = "|".join(f"kelvane: cannot remove %A/@5{s // 8}/s{s % 8}/roots/file: Permission denied" for s in range(16) if s % 8 % 3 == 1)
CANNOT, TOO_LONG, D = "kelvane: cannot remove %A\\20010101", ": File name is too long", "/".join(["d" * 250] * 20)


def row(what, tree_, args, out, err, code, left, marks=(), prepare=None, **how):
    return pytest.param(tree_, args, out, err, code, left, prepare, how, id=what, marks=marks)


ROWS = [
    row("no argument", "", "", USAGE, "", 0, ""),
    row("usage", "@50", "/?|30", USAGE, "", 0, "@50"),
    row("empty archive path", "@50", "|", USAGE, "", 0, "@50"),
    row("not the help request", "", "-?", f"Path -?{SEP} is not a valid path", "", 0, ""),
    row("missing archive", "", "%A/no\x1b[2J", f"Path %A/no\\x1B[2J{SEP} is not a valid path", "", 0, ""),
    row("missing, with separator", "", f"%A/no{SEP}", f"Path %A/no{SEP} is not a valid path", "", 0, ""),
    row("archive is a file", "@50.zip", "%A/@50.zip", "", "", 0, "@50.zip"),
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
    row("standard output closed", TREE, "%A|30", "", "", 0, "", output="closed"),
    row("standard output full", TREE, "%A|30", "", "", 0, "", output="full"),
    # A file that fills half-way through a line keeps the lines before it.
    row("standard output fills", "", "", "Kelvane v1.0", "", 0, "", posix, size=20),
    row("standard output fills between statements", "@50.zip", "%A", "", "", 0, "", posix, size=20),
    row("archive path too long", f"{A250}/|{A250}/@50", f"%A/{A250}",
        f"Path %L{SEP} is not a valid path", "", 0, f"{A250}/|{A250}/@50"),
    row("names are not patterns", "@50*|@50?/|@50?/[a]|@50?/*|@5*|@5?", "%A|30", "@50* 50|@50?/ 50", "", 0,
        "@5*|@5?", posix),
    # Control characters could forge a report line: they are shown as their bytes.
    row("hostile names", "@50\x01x|@50../|@50../-rf|@50 --help|@50\u0085|--|..@50|@0\x7fy|-rf", "%A",
        "@50\\x01x 50|@50../ 50|@50 --help 50|@50\\xC2\\x85 50", "", 0, "--|..@50|@0\x7fy|-rf", posix),
    row("links removed, targets kept", "@51->../outside|@52/|@52/in->../../outside|@52/up->..", "%A",
        "@51 51|@52/ 52", "", 0, "", posix),
    row("archive is a dangling link", "gone->no", "%A/gone", "Path %A/gone/ is not a valid path", "", 0, "gone", posix),
    row("archive is a link", "@50/|@50/@60|link->@50", "%A/link", "@60 60", "", 0, "@50/|link", posix),
    row("deep chain, few descriptors", "@50/|notes.txt", "%A", "@50/ 50", "", 0, "notes.txt", posix,
        lambda a: make_chain(expand(a + "/@50", a), 20000), files=16),
    row("modes", "@50/|@50/none/|@50/none/f|@50/r-x/|@50/r-x/in/|@50/r-x/in/f|@50/rw-a/|@50/rw-a/f|@50/rw-a/s/"
        "|@50/rw-a/s/g|@50/rw-b/|@50/rw-b/f/|@50/rw-b/f/g|@50/rw-b/s|@51.zip", "%A", "@50/ 50|@51.zip 51",
        "kelvane: cannot remove %A/@50: Permission denied|kelvane: cannot remove %A/@51.zip: Permission denied",
        2, "@50/|@51.zip", as_root, modes, user=NOBODY),
    # Two threads meet the same directory while its mode is being changed:
    # both remove what they came for.
    row("threads opening up one directory", "@50/|@50/c1/|@50/c2/|" + "|".join(
        f"@50/{d}/" + f for d in ["c1/d1", "c1/d2", "c2/d1", "c2/d2"] for f in ["", *map(str, range(200))]),
        "%A", "@50/ 50", "", 0, "", as_root, locked, user=NOBODY, faults="fchmod:1+:delay"),
    # What nobody cannot remove is named, the line end in its name shown as
    # its byte; the rest goes.
    row("what cannot go is named", "@50/|@50/mine/|@50/mine/f|@50/roots\n/|@50/roots\n/f|@50/z|@51.zip", "%A",
        "@50/ 50|@51.zip 51", "kelvane: cannot remove %A/@50/roots\\x0A/f: Permission denied", 2,
        "@50/|@50/roots\n/|@50/roots\n/f", as_root, give_to_nobody, user=NOBODY),
    row("several threads end as one does", WIDE, "%A", "@50/ 50|@51/ 51|@52.zip 52", WIDE_ERR, 2,
        "|".join(e for e in WIDE.split("|") if "roots" in e or e in ("@50/", "@51/") or e + "roots/" in WIDE),
        as_root, give_to_nobody, user=NOBODY),
    row("a pair of quotes and a tab separate, a backslash escapes nothing", "@35|@41", "", "@41 41|@35 35", "", 0,
        "", windows, raw=' "" %A\\""\t30'),
    row("read-only, hidden and system entries go", "20010101/|20010101/r|20010101/hidden/|20010101/hidden/all|"
        "20010101.zip", "%A", f"20010101/ {OLD}|20010101.zip {OLD}", "", 0, "", windows, attributes),
    row("a file in use stays with the directories above it", "20010101/|20010101/a/|20010101/a/held|"
        "20010101/a/other|20010101/b/|20010101/b/f|20010101.zip", "%A", f"20010101/ {OLD}|20010101.zip {OLD}",
        CANNOT + "\\a\\held: Sharing violation", 2,
        "20010101/|20010101/a/|20010101/a/held", windows, lambda a: {"env": {"KELVANE_HOLD": native(a) +
                                                                             "\\20010101\\a\\held"}}),
    row("a removal pending counts as done", "20010101.zip", "%A", f"20010101.zip {OLD}", "", 0, "", windows,
        lambda a: {"env": {"KELVANE_PENDING": native(a) + "\\20010101.zip"}}),
    row("names in any language, shown in the OEM code page", "20010101 caf\u00e9|20010101 \u00fcber/|"
        "20010101 \u00fcber/na\u00efve \u65e5\u672c|20010101 \u65e5\u672c|20010101" + "x" * 119 + "\u00e9|notes \u00e9",
        "%A", f"20010101 caf\x82 {OLD}|20010101 \x81ber/ {OLD}|20010101 ?? {OLD}|20010101{'x' * 119}\x82 {OLD}", "",
        0, "notes \u00e9", windows),
    row("a missing path in the OEM code page", "", "", "Path %A\\\x82\\ is not a valid path", "", 0, "", windows,
        raw=' "%A\\\u00e9"'),
    row("paths beyond MAX_PATH", "20010101/", "%A", f"20010101/ {OLD}", "", 0, "", windows,
        lambda a: make_chain(a + "/20010101", 150)),
    row("what Wine cannot name is too long; Unix links never cost their targets", "", "%A",
        f"20010101/ {OLD}|20010101d/ {OLD}", "|".join(
            [CANNOT + "\\a\\" + D.replace("/", "\\") + "\\f" + TOO_LONG,
             CANNOT + "\\b\\" + D[:-251].replace("/", "\\") + TOO_LONG]
            + [CANNOT + p + ": the name leads elsewhere (a link that cannot be removed by itself here)"
               for p in ["\\filelink", "\\sub\\dirlink", "d"]]), 2,
        "|".join(["20010101/", "20010101/a/", "20010101/b/", f"20010101/a/{D}/f", "20010101/filelink", "20010101/sub/",
                  "20010101/sub/dirlink", "20010101d", *[f"20010101/{x}/{D[:k * 251 - 1]}/" for x in "ab" for k in range(1, 21)]]),
        windows, unix_made),
    row("a name holding a backslash is no path, nor gone when that path is missing", "20010101\\x|20010101d/|"
        "20010101d/y\\z", "%A", f"20010101\\x {OLD}|20010101d/ {OLD}",
        f"{CANNOT}\\x: Invalid name|{CANNOT}d\\y\\z: Invalid name", 2, "20010101\\x|20010101d/|20010101d/y\\z", windows),
]


# The expected lines of an output column, as bytes.
def report_lines(text, archive):
    found = []
    for item in filter(None, expand(text, archive).split("|")) if text else []:
        name, _, age = item.rpartition(" ")
        if age == "T" or age.isdigit():
            shown = f"[{name[:-1]}]" if name.endswith("/") else name
            item = f"{shown} {TODAY if age == 'T' else age} days old, deleting..."
        found.append(item.encode("latin-1"))
    return sorted(found)


@pytest.mark.parametrize("one", [False, True], ids=["all processors", "one processor"])
@pytest.mark.parametrize("tree_, args, out, err, code, left, prepare, how", ROWS)
def test_case(tree_, args, out, err, code, left, prepare, how, one):
    with Scratch() as scratch:
        archive = scratch + "/archive"
        build(scratch, ["archive/", "outside/", "outside/canary"])
        build(archive, expand(tree_, archive).split("|") if tree_ else [])
        how = dict(how, **(prepare and prepare(archive) or {}))
        if "raw" in how:
            how["raw"] = expand(how["raw"], archive)
        status, written, said = run(expand(args, archive).split("|") if args else [], scratch, one, **how)
        assert (status, lines(written), lines(said)) == (code, report_lines(out, archive), report_lines(err, archive))
        assert tree(archive) == sorted(expand(left, archive).split("|") if left else [])
        assert tree(scratch + "/outside") == ["canary"]
