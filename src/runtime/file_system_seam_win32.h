// The Win32 backend's seam for tests. Wine can make neither a junction nor
// a Windows symbolic link, so a test there marks a plain directory as a
// reparse point to see what the removal does with one. Nor does it refuse
// what Windows may: a test answers for the system where it calls through
// these.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winternl.h>
// windows.h turns the name into one of its own functions.
#undef RemoveDirectory

#include "runtime/file_system.h"

// MinGW's headers offer this one to drivers only.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID context,
                                               PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS kind, BOOLEAN single,
                                               PUNICODE_STRING mask, BOOLEAN restart);

namespace kelvane {

// Reads the attribute bits and the reparse tag of an open entry.
using AttributeQuery = Status (*)(HANDLE entry, FILE_ATTRIBUTE_TAG_INFO& info);
extern AttributeQuery QueryAttributes;

// Every entry is opened through this: NtCreateFile, unless a test answers.
extern decltype(&NtCreateFile) CreateEntryCall;

// Every disposition and attribute change goes through this:
// SetFileInformationByHandle, unless a test answers.
extern decltype(&SetFileInformationByHandle) SetInformationCall;

// Every directory is listed through this: NtQueryDirectoryFile, unless a
// test answers.
extern decltype(&NtQueryDirectoryFile) ListDirectoryCall;

// Every entry's own name is asked for through this: NtQueryObject, unless
// a test answers.
extern decltype(&NtQueryObject) NameQueryCall;

}  // namespace kelvane
