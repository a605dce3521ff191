# Builds trees, runs the built tool as a user would, on Linux directly or,
# for a Windows build, under Wine through the launcher, and reads back what
# stays. The environment names the builds: KELVANE (the tool), FAULT_SHIM_LIBRARY,
# FAULT_PROBE, and for Windows KELVANE_LAUNCHER and KELVANE_WINE.
import datetime
import os
import re
import resource
import shutil
import subprocess
import tempfile

import pytest

BINARY = os.environ["KELVANE"]
WINE = os.environ.get("KELVANE_WINE")
WINDOWS = WINE is not None
SEP, END = ("\\", b"\r\n") if WINDOWS else ("/", b"\n")
ROOT = not WINDOWS and os.geteuid() == 0
NOBODY = 65534

posix = pytest.mark.skipif(WINDOWS, reason="POSIX only")
windows = pytest.mark.skipif(not WINDOWS, reason="Windows only")
as_root = pytest.mark.skipif(not ROOT, reason="needs root")


def days_ago(days):
    return (datetime.date.today() - datetime.timedelta(days=days)).strftime("%Y%m%d")


# The path as the tool is given it: on drive Z: under Wine.
def native(path):
    return "Z:" + path.replace("/", "\\") if WINDOWS else path


# '@N' is the date N days ago; '%A' the archive as the tool names it,
# '%L' the longest archive path the tool keeps.
def expand(text, archive):
    longest = (native(archive) + "/" + "a" * 250)[:255]
    text = text.replace("%A", native(archive)).replace("%L", longest)
    return re.sub(r"@(-?\d+)", lambda m: days_ago(int(m.group(1))), text)


# Makes entries in order: 'name/' a directory, 'name->target' a
# symbolic link, any other a file holding its own name.
def build(root, entries):
    for entry in entries:
        path = os.path.join(root, entry)
        if "->" in entry:
            name, target = entry.split("->")
            os.symlink(target, os.path.join(root, name))
        elif entry.endswith("/"):
            os.mkdir(path)
        else:
            with open(path, "w") as file:
                file.write(entry)


# Nested directories, made relative to the one above, as no path
# could name the deep end.
def make_chain(top, depth, name="d"):
    fd = os.open(top, os.O_RDONLY)
    for _ in range(depth):
        os.mkdir(name, dir_fd=fd)
        fd, above = os.open(name, os.O_RDONLY, dir_fd=fd), fd
        os.close(above)
    os.close(fd)


# Every entry below root in build()'s notation, sorted; links are not
# followed, and paths of any length are read.
def tree(root, dir_fd=None):
    fd, found = os.open(root, os.O_RDONLY | os.O_DIRECTORY, dir_fd=dir_fd), []
    with os.scandir(fd) as entries:
        for entry in entries:
            below = tree(entry.name, fd) if entry.is_dir(follow_symlinks=False) else None
            found += [entry.name + "/"] + [entry.name + "/" + name for name in below] if below is not None else [entry.name]
    os.close(fd)
    return sorted(found)


# A temporary directory that another user can reach, removed with
# whatever modes its entries have.
class Scratch:

    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="kelvane-test-")
        os.chmod(self.path, 0o711)
        return self.path

    def __exit__(self, *_):
        subprocess.run(["chmod", "-R", "u+rwx", self.path], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.path)


# A command line in which every argument is quoted: the tool has no
# escape character, and an argument holds no quote.
def windows_line(args):
    return "".join(' "' + arg + '"' for arg in args)


def run(args, scratch, one=False, raw=None, output="capture", user=None, files=0, size=0, faults="", env=None,
        program=BINARY, timeout=300):
    """Runs the tool (or `program`) and gives (exit code, standard output, standard error).
    `raw` is the command line after the program's name (Windows);
    `output` "closed" or "full"; `user` a user id to run as; `files` and
    `size` limits on open files and file sizes; `faults` the shim's list.
    A run still going after `timeout` seconds is killed."""
    settings = dict(os.environ, **(env or {}))
    if user is not None:  # the build tree may be out of the other user's reach
        program = shutil.copy(program, os.path.join(scratch, "kelvane"))
    if faults:
        settings.update(LD_PRELOAD=shutil.copy(os.environ["FAULT_SHIM_LIBRARY"], scratch), FAULT_SHIM=faults)
        settings["ASAN_OPTIONS"] = settings.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    command = [program, *args]
    if WINDOWS:
        line = '"' + native(program) + '"' + (windows_line(args) if raw is None else raw)
        settings.update(KELVANE_COMMAND_LINE=line, LC_ALL="C.UTF-8")
        command = [WINE, os.environ["KELVANE_LAUNCHER"]]

    def child():
        if one:
            os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        if output == "closed":
            os.close(1)
        if files:
            resource.setrlimit(resource.RLIMIT_NOFILE, (files, files))
        if size:
            resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
        if user is not None:
            os.setgroups([])
            os.setgid(user)
            os.setuid(user)

    out_path = "/dev/full" if output == "full" else os.path.join(scratch, "out")
    with open(out_path, "wb") as out, open(os.path.join(scratch, "err"), "w+b") as err:
        try:
            done = subprocess.run(command, stdout=out, stderr=err, env=settings, preexec_fn=child, timeout=timeout)
        except subprocess.TimeoutExpired:
            done = subprocess.CompletedProcess(command, -9)
        err.seek(0)
        done.stderr = err.read()
    captured = b"" if output != "capture" else open(out_path, "rb").read()
    # A run ended by a signal ends as a shell shows it.
    return done.returncode % 256 if done.returncode >= 0 else 128 - done.returncode, captured, done.stderr


# The lines of an output, each ended as the platform ends lines, sorted:
# report lines come in the directory's order. None when an end is wrong.
def lines(output):
    if output and not output.endswith(END):
        return None
    return sorted(output.split(END)[:-1])
