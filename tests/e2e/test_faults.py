# Faults a real file system will not produce on demand, made by the shim
# one call at a time, over every call of each system call a whole run
# makes: whichever call fails, the run names that one path, removes
# everything else it should, and reports that it did not finish.
import errno
import os

import pytest
from runner import build, days_ago, one_and_all, run, scratch_directory, tree

YOUNG = days_ago(0)
STAYING = [YOUNG, YOUNG + "/keep", YOUNG + "/keep/file", "notes.txt"]
# An expired tree deeper than the window of open ancestors, an expired
# file, and entries that stay.
ARCHIVE = ["archive/"] + ["archive/" + entry for entry in [
    "20010101/", "20010101/a/", "20010101/a/x", "20010101/a/y", "20010101/b/", "20010101/b/c/", "20010101/b/c/d/",
    "20010101/b/c/d/e/", "20010101/b/c/d/e/f/", "20010101/b/c/d/e/f/leaf", "20010101/file", "20010102.zip",
    "notes.txt", YOUNG + "/", YOUNG + "/keep/", YOUNG + "/keep/file"]]


# Runs with these calls failing and checks what one failure may leave:
# the path it names and the directories above it; `below`, also what an
# unread or unopened directory holds. Gives the error text.
def run_with_fault(scratch, faults, error, one, below=True):
    archive = scratch + "/archive"
    status, _, said = run([archive, "30"], scratch, one, faults=faults)
    said, reason = said.decode(), f": {os.strerror(error)}\n"
    prefix = f"kelvane: cannot remove {archive}/"
    unread = said == f"kelvane: cannot read {archive}/{reason}"  # then everything stays
    named = said.startswith(prefix) and said.endswith(reason) and said.count("\n") == 1
    assert (status, said == "" or unread or named) == (2 if said else 0, True), said
    path = said[len(prefix):-len(reason)] if named else None
    assert path is None or os.path.lexists(archive + "/" + path)
    stayed = [entry.rstrip("/") for entry in tree(archive)]
    assert set(STAYING) <= set(stayed)
    for left in stayed:
        assert unread or left in STAYING or path is not None and (
            (path + "/").startswith(left + "/") or below and left.startswith(path + "/")), (left, path)
    return said


# Each call in turn is made to fail: a refused removal stops only that
# entry; a directory that cannot be opened or read stays with what it
# holds, also when its first batch was read (its next read fails). A parent
# that cannot be opened again on the way up is reached anew
# from the archive. While directories fail to open, no mode can be opened
# up either (without /proc, in a chroot, say): an unreadable directory
# stays and is named, it did not vanish.
NO_MODES = ",fchmod:1+:2,fchmodat2:1+:2,chmod:1+:2"
SWEEPS = [  # the call, its errors in turn, how many calls, how many of them leave something
    ("unlinkat", [errno.EBUSY, errno.EPERM, errno.EROFS, errno.EIO], 14, 12, False, ""),
    ("open", [errno.EMFILE], 2, 1, True, ""),
    ("openat2", [errno.EMFILE, errno.EACCES], 9, 7, True, NO_MODES),
    ("openat", [errno.EMFILE], 4, 0, True, NO_MODES),
    ("getdents64", [errno.EIO], 20, 18, True, ""),
]


@one_and_all
@pytest.mark.parametrize("call, errors, calls, fired, below, also", SWEEPS, ids=[s[0] for s in SWEEPS])
def test_each_call_failing_stops_only_its_path(call, errors, calls, fired, below, also, one):
    failed = 0
    for nth in range(1, calls + 1):
        with scratch_directory() as scratch:
            build(scratch, ARCHIVE)
            error = errors[nth % len(errors)]
            failed += run_with_fault(scratch, f"{call}:{nth}:{error}{also}", error, one, below) != ""
    assert failed == fired
