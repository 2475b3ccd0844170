// Operations on one plain name inside a folder held open, through the NT calls that take the
// folder's handle: no path is parsed again, so nothing that replaces a folder on the way (a
// junction, a mount point) can send them elsewhere.
#pragma once

#include <windows.h>

#include <string>

#include "common/scoped_handle.h"

namespace install::relative {

struct Opened {
  common::ScopedHandle file;
  DWORD error = 0;  // a Win32 error number; 0 when file is open
};

// NtCreateFile of name in folder, always without following a reparse point and with
// synchronous I/O. disposition: FILE_OPEN or FILE_CREATE.
Opened Open(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
            ULONG options, ULONG attributes = FILE_ATTRIBUTE_NORMAL);

// Each returns 0 or a Win32 error number.
DWORD RenameTo(HANDLE file, HANDLE folder, const std::wstring& name);  // replaces what is there
DWORD LinkAs(HANDLE file, HANDLE folder, const std::wstring& name);    // never replaces
DWORD MarkForDeletion(HANDLE file);                                    // gone when the last handle closes

// The full path of the open file or folder as the system resolved it (its NT name, on which
// GetFinalPathNameByHandleW builds), links and all; empty on failure.
std::wstring FinalPath(HANDLE file);

}  // namespace install::relative
