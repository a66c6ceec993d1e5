#pragma once

// The Windows API, without the min and max macros and the rarely used parts.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cerrno>

namespace blockavg {

// The error of a failed _open: Windows refuses to open a directory with
// EACCES, where POSIX systems say EISDIR; the message should say what is
// wrong, as it does there.
inline int openError(const char* path) noexcept {
    const int error = errno;
    const DWORD attributes = GetFileAttributesA(path);
    return error == EACCES && attributes != INVALID_FILE_ATTRIBUTES &&
                   (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
               ? EISDIR
               : error;
}

}  // namespace blockavg
