# The fault probe ends one statement, leaves a second in the buffer and
# faults as its argument says, or during start-up as FAULT_PROBE_AT_START_UP
# says ("start:" rows, which give the runtime error line): each fault is
# reported once, in its own words, and ends the run as its kind says. In
# the expected texts '|' separates class, message and module; '@' is a
# pointer. A run ended by a signal leaves the buffer unwritten.
import os
import re
import shutil

import pytest
from runner import END, posix, run, scratch_directory, windows

PROBE = os.environ["FAULT_PROBE"]
DIGITS = int(os.environ["POINTER_DIGITS"])
ZERO, AT = "0" * DIGITS, "EAccessViolation|Access violation at address @. "
EXTERNAL = "EExternalException|External exception "
ROWS = [(f, says, 1) for f, says in [
    ("read", AT + f"Read of address {ZERO}."), ("write", AT + f"Write of address {ZERO}."),
    ("divide", "EDivByZero|Division by zero."), ("recurse", "EStackOverflow|Stack overflow."),
    ("recurse-on-thread", "EStackOverflow|Stack overflow."), ("allocate", "EOutOfMemory|Out of memory."),
    ("float-divide", "EZeroDivide|Floating point division by zero."), ("illegal", EXTERNAL + "C000001D."),
    ("float-overflow", "EOverflow|Floating point overflow."),
    ("float-underflow", "EUnderflow|Floating point underflow."),
    ("float-invalid", "EInvalidOp|Invalid floating point operation."), ("in-report", ""),
    ("float-inexact", "EInvalidOp|Invalid floating point operation.")]] + [
    ("start:read", "216 (Exception C0000005)", 216), ("start:divide", "200 (Exception C0000094)", 200),
    ("start:recurse", "202 (Exception C00000FD)", 202), ("start:float-divide", "200 (Exception C000008E)", 200),
    ("start:illegal", "217 (Exception C000001D)", 217), ("start:allocate", "203", 203)] + [
    pytest.param(f, says, code, marks=posix) for f, says, code in [
        ("abort", EXTERNAL + "40000015.|libc.so.6", 1), ("trap", EXTERNAL + "80000003.|libc.so.6", 1),
        ("bad-system-call", EXTERNAL + "C000001C.|libc.so.6", 1), ("hang-up", "", 129), ("interrupt", "", 130),
        ("terminate", "", 143), ("sent-segv", "", 139)]] + [
    pytest.param(f, says, 1, marks=windows) for f, says in [
        ("trap", EXTERNAL + "80000003."), ("privileged", "EPrivilege|Privileged instruction."),
        ("abort", EXTERNAL + "40000015.|msvcrt.dll"), ("memory-gone", "EOutOfMemory|Out of memory."),
        # A copy named "probé日.exe", whose name a file gets in the OEM code page.
        ("copy:divide", "EDivByZero|Division by zero.|prob\x82?.exe")]]


# A pattern of the text's bytes in which each '@' takes a pointer.
def pattern(text):
    parts = [re.escape(part) for part in text.encode("latin-1").split(b"@")]
    return re.compile(b"([0-9A-F]{%d})" % DIGITS).pattern.join(parts) + b"$"


@pytest.mark.parametrize("fault, says, code", ROWS)
def test_fault(fault, says, code):
    start, kind = fault.startswith("start:"), fault.partition(":")[2] or fault
    klass, message, module = (says.split("|") + [os.path.basename(PROBE)])[:3] if "|" in says else ("", says, "")
    with scratch_directory() as scratch:
        program = shutil.copy(PROBE, scratch + "/prob\u00e9\u65e5.exe") if fault.startswith("copy:") else PROBE
        env = {"FAULT_PROBE_AT_START_UP": kind} if start else {}
        status, out, err = run(["none" if start else kind], scratch, env=env, program=program)
    expected = "" if start else "written before the fault" + END.decode()
    if not start and code < 128:
        report = f"Exception {klass} in module {module} at @.{END.decode()}{message}" if says else ""
        expected += report + "left in the buffer"
    said = f"Runtime error {says[:3]} at @{says[3:]} TID=1.{END.decode()}" if start else ""
    assert status == code
    pointers = re.match(pattern(expected), out)
    assert pointers and re.match(pattern(said), err), (out, err)
    # The offset lies inside the probe, which is loaded at a page boundary.
    assert len(pointers.groups()) != 2 or (int(pointers[2], 16) - int(pointers[1], 16)) % 4096 == 0
