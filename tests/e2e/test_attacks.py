# Runs the built tool while something works against it: another thread
# swapping directories for links, a kill at a random moment, entries coming
# and going, links and mounts that lead out of the archive, hostile names.
# Whatever happens, nothing but the expired entries may change, and a
# second run must always finish the work.
import errno
import itertools
import os
import random
import subprocess
import threading

import pytest
from runner import as_root, build, days_ago, make_chain, one_and_all, run, scratch_directory, shim_log, tree

YOUNG = days_ago(0)
TRIALS = 8 * (20 if os.environ.get("KELVANE_LONG_TESTS") else 1)


# Moves target away, puts a link to the outside in its place, and puts
# it back. Failures are ignored: the tool removes the same entries.
def swap_for_link(target, parked, outside):
    if quietly(lambda: os.rename(target, parked)):
        quietly(lambda: os.symlink(outside, target), lambda: os.unlink(target), lambda: os.rename(parked, target))


def churn(places, i):
    for place in places:
        made, gone = f"{place}churn{i % 16}", f"{place}churn{(i + 8) % 16}"
        quietly(lambda: os.mkdir(made) if i % 2 else open(made, "w").close(),
                lambda: os.unlink(gone) if os.path.isfile(gone) else os.rmdir(gone))


# Takes each step in turn, whether the one before failed or not; true when
# all went well.
def quietly(*steps):
    failed = 0
    for step in steps:
        try:
            step()
        except OSError:
            failed += 1
    return not failed


DEPTHS = ["/s0", "/s1/n", "/s2/n/n/n", "/s3/n/n/n/n/n"]
ATTACKS = {  # what another thread does over and over, given the scratch directory and a count; or a name
    "a directory swapped at every depth": lambda s, i: swap_for_link(
        s + "/archive/20010101" + DEPTHS[i % 4], (s + "/archive/20010101" if i % 2 else s) + f"/parked{i % 4}",
        s + "/outside"),
    "the expired entry swapped": lambda s, i: swap_for_link(s + "/archive/20010101", s + "/parked", s + "/outside"),
    "churn": lambda s, i: churn([s + "/archive/20010103-", s + "/archive/undated-", s + "/archive/20010101/",
                                 s + "/archive/20010101/s0/n/"], i),
    # The nth directory opened below the expired entry is swapped for a
    # link just before the open, by the shim: the tool must never follow it.
    "swapped as it is opened": "swap",
    "killed at a random moment": "kill",
}


def make_archive(scratch):
    build(scratch, ["archive/", "outside/", "outside/canary", "outside/deep/", "archive/notes.txt",
                    f"archive/{YOUNG}/", f"archive/{YOUNG}/file"])


# The outside and the entries that stay are as they were; `finished`:
# and nothing else is left.
def expect_untouched(scratch, finished):
    assert tree(scratch + "/outside") == ["canary", "deep/"]
    for name in ["outside/canary", "archive/notes.txt", f"archive/{YOUNG}/file"]:
        assert open(scratch + "/" + name).read() == name
    assert not finished or tree(scratch + "/archive") == [YOUNG + "/", YOUNG + "/file", "notes.txt"]


# The tree holds links to the outside, among them hard links to a file of
# another owner, one in a directory whose mode is opened up first, and
# names that look like options or lines: only the links go.
@one_and_all
@pytest.mark.parametrize("attack", ATTACKS)
def test_no_attack_leads_outside_nor_keeps_the_next_run_from_finishing(attack, one):
    with scratch_directory() as scratch:
        make_archive(scratch)
        entry, canary = scratch + "/archive/20010101", scratch + "/outside/canary"
        os.chmod(canary, 0o640)
        os.geteuid() == 0 and os.lchown(canary, 1234, 1234)
        for trial in range(TRIALS):
            os.mkdir(entry)
            # Four branches deeper than the window of directories the tool keeps open.
            build(entry, [f"s{b}" + "/n" * level + "/" + f for b in range(4) for level in range(6)
                          for f in ["", *[f"f{i}" for i in range(20)]]] + ["locked/", "-rf", "--", "\n", "*"])
            build(entry, ["s0/link->" + scratch + "/outside"])
            make_chain(entry, 200)
            for hard in ["/hard", "/locked/hard"]:
                os.link(canary, entry + hard)
            os.chmod(entry + "/locked", 0o500)
            stop, attacker = threading.Event(), ATTACKS[attack]
            faults = f"openat2:{trial + 2}:swap" if attacker == "swap" else ""

            def attack_until_stopped():
                for i in itertools.takewhile(lambda _: not stop.is_set(), itertools.count()):
                    attacker(scratch, i)

            worker = threading.Thread(target=stop.wait if isinstance(attacker, str) else attack_until_stopped)
            worker.start()
            status, _, said = run([scratch + "/archive", "30"], scratch, one, faults=faults,
                                  env={"FAULT_SHIM_LINK": scratch + "/outside"},
                                  timeout=random.uniform(0.001, 0.03) if attacker == "kill" else 300)
            stop.set()
            worker.join()
            assert status in ((0, 137) if attacker == "kill" else (0, 2)), said
            assert os.strerror(errno.ENOENT).encode() not in said
            expect_untouched(scratch, False)
            # What the attack itself left outside the expired entries.
            subprocess.run(f"rm -rf {scratch}/parked* {scratch}/archive/undated-*", shell=True)
            assert run([scratch + "/archive", "30"], scratch)[::2] == (0, b"")
            expect_untouched(scratch, True)
            st, owner = os.lstat(canary), 1234 if os.geteuid() == 0 else os.getuid()
            assert (st.st_mode & 0o7777, st.st_nlink, st.st_uid) == (0o640, 1, owner)


# Bind mounts of the outside directory inside an expired tree and as an
# expired entry: the same device, so only the mount itself tells. The
# kernel refuses them during the open; where it cannot (before Linux 5.6,
# or in a sandbox that refuses openat2), their mount ids tell; where those
# cannot be read either, no directory is entered at all.
CROSSED, UNKNOWN = "mount point not crossed", "not entered: cannot tell whether it is a mount point"
NO_MOUNT_IDS = ",".join(f"{call}:1+:{errno.ENOSYS}" for call in ["openat2", "statx", "name_to_handle_at"])
NO_MOUNT_IDS += ",open:2+:2"  # nor /proc/self/fdinfo
MODES = [("", "/mnt", CROSSED), (f"openat2:1+:{errno.EPERM}", "/mnt", CROSSED), (NO_MOUNT_IDS, "", UNKNOWN)]


@as_root
@pytest.mark.parametrize("faults, first, reason", MODES, ids=["openat2", "mount ids", "neither"])
def test_a_bind_mount_is_never_entered(faults, first, reason):
    with scratch_directory() as scratch:
        make_archive(scratch)
        entry, mounted = scratch + "/archive/20010101", scratch + "/archive/20010102"
        build(scratch + "/archive", ["20010101/", "20010101/mnt/", "20010101/before", "20010101/zafter", "20010102/"])
        if subprocess.run(f"mount --bind {scratch}/outside {entry}/mnt && mount --bind {scratch}/outside {mounted}",
                          shell=True).returncode:
            pytest.skip("mount --bind is not permitted here")
        try:
            status, _, said = run([scratch + "/archive", "30"], scratch, faults=faults)
            assert (status, sorted(said.decode().splitlines())) == (2, [
                f"kelvane: cannot remove {entry}{first}: {reason}", f"kelvane: cannot remove {mounted}: {reason}"])
            assert sorted(os.listdir(entry)) == (["mnt"] if first else ["before", "mnt", "zafter"])
            assert shim_log(scratch)[-1] == ["directories", "0"]
            expect_untouched(scratch, False)
        finally:
            subprocess.run(["umount", entry + "/mnt", mounted], stderr=subprocess.DEVNULL)
