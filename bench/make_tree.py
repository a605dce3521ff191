#!/usr/bin/env python3
"""Builds a fresh archive for one benchmark workload.

make_tree.py WORKLOAD DIR  removes DIR, builds DIR/archive, and writes
DIR/expired (the names of the expired entries, one a line) and DIR/count
(how many entries removing them removes, the entries themselves included).
Expired names are dated 100 days and more ago, young ones within 20 days;
the benchmarks run kelvane with a history of 30 days.
"""
import datetime
import os
import sys

NOBODY = 65534


def dated(days_ago, suffix=""):
    day = datetime.date.today() - datetime.timedelta(days=days_ago)
    return day.strftime("%Y%m%d") + suffix


def files(dir_fd, count, prefix="f"):
    for i in range(count):
        os.close(os.open(f"{prefix}{i}", os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=dir_fd))


def directory(path, subdirs, files_each):
    os.mkdir(path)
    for s in range(subdirs):
        sub = os.path.join(path, f"s{s}")
        os.mkdir(sub)
        fd = os.open(sub, os.O_RDONLY | os.O_DIRECTORY)
        files(fd, files_each)
        os.close(fd)
    return subdirs * (files_each + 1) + 1


def chain(path, depth):
    os.mkdir(path)
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    for _ in range(depth):
        os.mkdir("d", dir_fd=fd)
        inner = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = inner
    os.close(fd)
    return depth + 1


def staying(archive):
    """Young and undated entries that every workload keeps."""
    for i in range(10):
        directory(os.path.join(archive, dated(i, "-young")), 2, 5)
    directory(os.path.join(archive, "backup"), 2, 5)
    open(os.path.join(archive, "notes.txt"), "w").close()


def build(workload, archive):
    expired, count = [], 0
    if workload == "W1":  # deep and wide
        for i in range(10):
            expired.append(dated(100 + i))
            count += directory(os.path.join(archive, expired[-1]), 100, 100)
        staying(archive)
    elif workload == "W5":  # wide and large
        for i in range(10):
            expired.append(dated(100 + i))
            count += directory(os.path.join(archive, expired[-1]), 100, 1000)
        staying(archive)
    elif workload == "W2":  # many top-level entries
        fd = os.open(archive, os.O_RDONLY | os.O_DIRECTORY)
        for i in range(50000):
            old = i % 2 == 0
            name = dated(100 + i % 50 if old else i % 20, f"-{i:05}.dat")
            os.close(os.open(name, os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=fd))
            if old:
                expired.append(name)
        os.close(fd)
        count = len(expired)
    elif workload == "W8":  # a million expired entries at the top level
        fd = os.open(archive, os.O_RDONLY | os.O_DIRECTORY)
        for i in range(1000000):
            expired.append(dated(100 + i % 1000, f"-{i:07}.dat"))
            os.close(os.open(expired[-1], os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=fd))
        os.close(fd)
        count = len(expired)
    elif workload == "W3":  # depth
        expired.append(dated(100))
        count = chain(os.path.join(archive, expired[0]), 100000)
    elif workload == "W4":  # one huge directory
        expired.append(dated(100))
        count = directory(os.path.join(archive, expired[0]), 1, 200000)
    elif workload in ("W6", "W6-40k"):  # entries that stay
        # Run as nobody, who owns the archive and the expired directory but
        # not the directory of files inside it: every file stays.
        kept = 200000 if workload == "W6" else 40000
        expired.append(dated(100))
        directory(os.path.join(archive, expired[0]), 1, kept)
        for path in (archive, os.path.join(archive, expired[0])):
            os.chown(path, NOBODY, NOBODY)
        count = kept
    elif workload in ("W7", "W7-50"):  # entries that stay beside deep subdirectories
        # Run as nobody in a sticky directory of root's: root's files stay,
        # nobody's chains of five directories go.
        chains = 400 if workload == "W7" else 50
        kept = 10000
        expired.append(dated(100))
        top = os.path.join(archive, expired[0])
        os.mkdir(top)
        os.chmod(top, 0o1777)
        fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
        for c in range(chains):
            files(fd, kept // chains, f"k{c}-")
            path = os.path.join(top, f"s{c}")
            chain(path, 4)
            for sub, _, _ in os.walk(path):
                os.chown(sub, NOBODY, NOBODY)
        os.close(fd)
        os.chown(archive, NOBODY, NOBODY)
        count = kept + 5 * chains
    else:
        sys.exit(f"unknown workload {workload}")
    return expired, count


def main():
    workload, top = sys.argv[1], sys.argv[2]
    if os.path.exists(top):
        # rm copes with the deep chain, which shutil cannot walk.
        os.spawnvp(os.P_WAIT, "rm", ["rm", "-rf", top])
    archive = os.path.join(top, "archive")
    os.makedirs(archive)
    expired, count = build(workload, archive)
    with open(os.path.join(top, "expired"), "w") as out:
        out.write("".join(name + "\n" for name in expired))
    with open(os.path.join(top, "count"), "w") as out:
        out.write(f"{count}\n")


if __name__ == "__main__":
    main()
