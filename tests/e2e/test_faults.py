# Faults a real file system will not produce on demand, made by the shim
# one call at a time, over every call of each system call a whole run
# makes: whichever call fails, the run names the paths it could not remove,
# removes everything else it should, and reports that it did not finish.
import errno
import itertools
import os
import re

import pytest
from runner import build, days_ago, one_and_all, run, scratch_directory, shim_log, tree

YOUNG = days_ago(0)
STAYING = [YOUNG, YOUNG + "/keep", YOUNG + "/keep/file", "notes.txt"]
# An expired tree with four branches deeper than the window of open
# ancestors, an expired file, and entries that stay.
ARCHIVE = ["archive/"] + ["archive/" + entry for entry in [
    "20010101/", "20010101/a/", "20010101/a/x", "20010101/a/y", "20010101/file", "20010102.zip", "notes.txt",
    YOUNG + "/", YOUNG + "/keep/", YOUNG + "/keep/file"] + [
    f"20010101/s{b}" + "/n" * level + last for b in range(4) for level in range(6) for last in ["/", "/leaf"]]]


# Runs with these calls failing and checks what the failures may leave:
# each path named and the directories above it; `below`, also what a
# directory named holds. Gives whether the fault fired.
def run_with_fault(scratch, faults, error, one, below=True):
    archive = scratch + "/archive"
    status, _, said = run([archive, "30"], scratch, one, faults=faults)
    said = said.decode()
    unread = said == f"kelvane: cannot read {archive}/: {os.strerror(error)}\n"  # then everything stays
    paths = re.findall(f"^kelvane: cannot remove {re.escape(archive)}/(.*): {os.strerror(error)}$", said, re.M)
    assert (status, unread or len(paths) == said.count("\n")) == (2 if said else 0, True), said
    assert all(os.path.lexists(archive + "/" + path) for path in paths)
    stayed = [entry.rstrip("/") for entry in tree(archive)]
    assert set(STAYING) <= set(stayed)
    for left in stayed:
        assert unread or left in STAYING or any((path + "/").startswith(left + "/") or
                                                below and left.startswith(path + "/") for path in paths), left
    log = shim_log(scratch)
    assert ["directories", "0"] in log
    return len(log) > 1


# Each call in turn is made to fail, until a run makes no such call: a
# refused removal stops only that entry; a directory that cannot be opened
# or read stays with what it holds, also when its first batch was read (its
# next read fails). A parent that cannot be opened again on the way up is
# reached anew from the archive; where that fails thrice ("+": each call
# from the nth on fails), the entry is named too. While directories fail to
# open, no mode can be opened up either (without /proc, in a chroot, say):
# an unreadable directory stays and is named, it did not vanish. A file
# system that refuses every change names the directory.
NO_MODES = ",fchmod:1+:2,fchmodat2:1+:2,chmod:1+:2"
SWEEPS = [  # the call, its errors in turn, whether what a named directory holds may stay, other faults
    ("unlinkat", [errno.EBUSY, errno.EPERM, errno.EIO], False, ""),
    ("unlinkat", [errno.EROFS], True, ""),
    ("open", [errno.EMFILE], True, ""),
    ("openat2", [errno.EMFILE, errno.EACCES], True, NO_MODES),
    ("openat", [errno.EMFILE], True, NO_MODES),
    ("openat+", [errno.EMFILE], True, NO_MODES),
    ("getdents64", [errno.EIO], True, ""),
]


@one_and_all
@pytest.mark.parametrize("call, errors, below, also", SWEEPS, ids=[s[0] + str(s[1][0]) for s in SWEEPS])
def test_each_call_failing_stops_only_its_path(call, errors, below, also, one):
    for nth in itertools.count(1):
        with scratch_directory() as scratch:
            build(scratch, ARCHIVE)
            error, every = errors[nth % len(errors)], "+" if call.endswith("+") else ""
            if not run_with_fault(scratch, f"{call.rstrip('+')}:{nth}{every}:{error}{also}", error, one, below):
                break
    assert nth > 1
