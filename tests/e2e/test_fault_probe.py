# The fault probe ends one statement, leaves a second in the buffer and
# faults as its argument says, or during start-up as FAULT_PROBE_AT_START_UP
# says ("start:" rows, which give the runtime error line): each fault is
# reported once, in its own words, and ends the run as its kind says. In
# the expected texts '|' separates class, message and module; '@' is a
# pointer.
import os
import re
import shutil

import pytest
from runner import END, posix, run, scratch_directory, windows

PROBE = os.environ["FAULT_PROBE"]
DIGITS = int(os.environ["POINTER_DIGITS"])
ZERO, AT, EXTERNAL = "0" * DIGITS, "EAccessViolation|Access violation at address @. ", "EExternalException|External exception "
ROWS = [
    ("read", AT + f"Read of address {ZERO}.", 1), ("write", AT + f"Write of address {ZERO}.", 1),
    ("divide", "EDivByZero|Division by zero.", 1), ("recurse", "EStackOverflow|Stack overflow.", 1),
    ("recurse-on-thread", "EStackOverflow|Stack overflow.", 1), ("allocate", "EOutOfMemory|Out of memory.", 1),
    ("float-divide", "EZeroDivide|Floating point division by zero.", 1),
    ("float-overflow", "EOverflow|Floating point overflow.", 1),
    ("float-underflow", "EUnderflow|Floating point underflow.", 1),
    ("float-invalid", "EInvalidOp|Invalid floating point operation.", 1),
    ("float-inexact", "EInvalidOp|Invalid floating point operation.", 1),
    ("illegal", EXTERNAL + "C000001D.", 1), ("in-report", "", 1),
    ("start:read", "216 (Exception C0000005)", 216), ("start:divide", "200 (Exception C0000094)", 200),
    ("start:recurse", "202 (Exception C00000FD)", 202), ("start:float-divide", "200 (Exception C000008E)", 200),
    ("start:illegal", "217 (Exception C000001D)", 217), ("start:allocate", "203", 203),
    pytest.param("abort", EXTERNAL + "40000015.|libc.so.6", 1, marks=posix),
    pytest.param("trap", EXTERNAL + "80000003.|libc.so.6", 1, marks=posix),
    pytest.param("bad-system-call", EXTERNAL + "C000001C.|libc.so.6", 1, marks=posix),
    *[pytest.param(name, "", 128 + signal, marks=posix)
      for name, signal in [("hang-up", 1), ("interrupt", 2), ("terminate", 15), ("sent-segv", 11)]],
    pytest.param("trap", EXTERNAL + "80000003.", 1, marks=windows),
    pytest.param("privileged", "EPrivilege|Privileged instruction.", 1, marks=windows),
    pytest.param("abort", EXTERNAL + "40000015.|msvcrt.dll", 1, marks=windows),
    pytest.param("memory-gone", "EOutOfMemory|Out of memory.", 1, marks=windows),
    # A copy named "probé日.exe", whose name a file gets in the OEM code page.
    pytest.param("copy:divide", "EDivByZero|Division by zero.|prob\x82?.exe", 1, marks=windows),
]


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
