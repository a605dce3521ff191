# Builds trees, runs the built tool as a user would, on Linux directly or,
# for a Windows build, under Wine, and reads back what stays. The
# environment names the builds: KELVANE (the tool), FAULT_SHIM_LIBRARY,
# FAULT_PROBE, and for Windows KELVANE_ANSWERING and KELVANE_WINE.
import contextlib
import datetime
import os
import pathlib
import re
import resource
import shutil
import signal
import subprocess
import tempfile

import pytest

BINARY = os.environ["KELVANE"]
WINE = os.environ.get("KELVANE_WINE")
WINDOWS = WINE is not None
SEP, END = ("\\", b"\r\n") if WINDOWS else ("/", b"\n")
NOBODY = 65534

posix = pytest.mark.skipif(WINDOWS, reason="POSIX only")
windows = pytest.mark.skipif(not WINDOWS, reason="Windows only")
as_root = pytest.mark.skipif(WINDOWS or os.geteuid() != 0, reason="needs root")
one_and_all = pytest.mark.parametrize("one", [False, True], ids=["all processors", "one processor"])


def days_ago(days):
    return (datetime.date.today() - datetime.timedelta(days=days)).strftime("%Y%m%d")


# The path as the tool is given it: on drive Z: under Wine.
def native(path):
    return "Z:" + path.replace("/", "\\") if WINDOWS else path


# '@N' is the date N days ago; '%A' the archive as the tool names it,
# '%L' the longest archive path the tool keeps, '%C' the name that path
# gives an entry of the archive.
def expand(text, archive):
    cut = "a" * (254 - len(native(archive)))
    text = text.replace("%A", native(archive)).replace("%L", native(archive) + SEP + cut).replace("%C", cut)
    return re.sub(r"@(-?\d+)", lambda m: days_ago(int(m.group(1))), text)


# Makes entries in order: 'name/' a directory, 'name->target' a
# symbolic link, any other a file holding its own name.
def build(root, entries):
    for entry in entries:
        name, arrow, target = entry.partition("->")
        path = os.path.join(root, name)
        if arrow or entry.endswith("/"):
            os.symlink(target, path) if arrow else os.mkdir(path)
        else:
            pathlib.Path(path).write_text(entry)


# Nested directories, made relative to the one above, as no path
# could name the deep end; `last` a file at the end.
def make_chain(top, depth, name="d", last=None):
    fd = os.open(top, os.O_RDONLY)
    for _ in range(depth):
        os.mkdir(name, dir_fd=fd)
        fd, above = os.open(name, os.O_RDONLY, dir_fd=fd), fd
        os.close(above)
    if last:
        os.close(os.open(last, os.O_CREAT | os.O_WRONLY, dir_fd=fd))
    os.close(fd)


# Every entry below root in build()'s notation, sorted; links are not
# followed, and paths of any length are read.
def tree(root, dir_fd=None):
    fd, found = os.open(root, os.O_RDONLY | os.O_DIRECTORY, dir_fd=dir_fd), []
    with os.scandir(fd) as entries:
        for entry in entries:
            below = tree(entry.name, fd) if entry.is_dir(follow_symlinks=False) else None
            found += [entry.name] if below is None else [entry.name + "/"] + [entry.name + "/" + n for n in below]
    os.close(fd)
    return sorted(found)


# A temporary directory that another user can reach, removed with
# whatever modes its entries have.
@contextlib.contextmanager
def scratch_directory():
    with tempfile.TemporaryDirectory(prefix="kelvane-test-") as path:
        os.chmod(path, 0o711)
        yield path


# Runs the tool (or `program`) and gives (exit code, standard output,
# standard error); Wine hands the arguments over as UTF-8 text in a
# Windows command line. `output` "closed" or "full"; `user` a user id to run as;
# `files` and `size` limits on open files and file sizes (a file that
# reaches its limit fails the write, as a full disk does); `faults` the
# shim's list. On Linux the tool always runs with the shim, whose log
# shim_log() reads. A run still going after `timeout` seconds is killed.
def run(args, scratch, one=False, output="capture", user=None, files=0, size=0, faults="", env=None,
        program=BINARY, timeout=300):
    settings = dict(os.environ, LC_ALL="C.UTF-8", **(env or {}))  # Wine reads arguments and names as UTF-8
    if user is not None:  # the build tree may be out of the other user's reach
        program = shutil.copy(program, os.path.join(scratch, "kelvane"))
    if not WINDOWS and program != os.environ.get("FAULT_PROBE"):
        log = os.path.join(scratch, "shim.log")
        open(log, "w").close()
        os.chmod(log, 0o666)  # for a run as another user
        settings.update(LD_PRELOAD=shutil.copy(os.environ["FAULT_SHIM_LIBRARY"], scratch), FAULT_SHIM=faults,
                        FAULT_SHIM_LOG=log)
        settings["ASAN_OPTIONS"] = settings.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    command = [WINE, program, *args] if WINDOWS else [program, *args]
    out_path = "/dev/full" if output == "full" else os.path.join(scratch, "out")
    if WINDOWS and size:  # Wine cuts back only a file it opened itself, as cmd opens one on Windows
        command = [WINE, "cmd", "/c", native(program), *args, ">", native(out_path)]

    def child():
        if one:
            os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        if output == "closed":
            os.close(1)
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # Wine does not ignore it itself
        for limit, value in [(resource.RLIMIT_NOFILE, files), (resource.RLIMIT_FSIZE, size)]:
            value and resource.setrlimit(limit, (value, value))
        if user is not None:
            os.setgroups([])
            os.setgid(user)
            os.setuid(user)

    with open(out_path, "wb") as out, open(os.path.join(scratch, "err"), "w+b") as err:
        if settings.get("JOURNAL_STREAM") == "err":  # standard error stands for the journal's stream
            settings["JOURNAL_STREAM"] = "{0.st_dev}:{0.st_ino}".format(os.fstat(err.fileno()))
        try:
            done = subprocess.run(command, stdout=out, stderr=err, env=settings, preexec_fn=child, timeout=timeout)
        except subprocess.TimeoutExpired:
            done = subprocess.CompletedProcess(command, -9)
        err.seek(0)
        said = err.read()
    written = open(out_path, "rb").read() if output == "capture" else b""
    # A run ended by a signal ends as a shell shows it.
    return (done.returncode if done.returncode >= 0 else 128 - done.returncode), written, said


# The shim's log of the latest run in `scratch`: each line split in words.
def shim_log(scratch):
    return [line.split() for line in open(os.path.join(scratch, "shim.log"))]


# The lines of an output, each ended as the platform ends lines; None
# when an end is wrong.
def lines(output):
    return output.split(END)[:-1] if not output or output.endswith(END) else None
