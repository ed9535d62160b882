// Opening a file in a folder that others can write: the name may have been
// replaced by a pipe, a device, a folder or a link. OpenRegularFile looks at
// the name first (a pipe or device is never opened), opens it without
// blocking (a pipe put in its place between the look and the open cannot hold
// up the caller), without following a link and close-on-exec, and keeps it
// only when fstat shows a regular file (with `oneLink`, one of exactly one
// link). The model is Postfix's safe_open().
// DIAGNOSTICS: nothing throws; a refusal returns -1 and raises the caller's
// ErrorState: errno and its text, or kUnsafeFile and what the name is
// ("a pipe (FIFO)", "a symbolic link", ...).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/error_state.h"

namespace bw {

/// The error number of a file refused for what it is: a symbolic link, a file
/// with more than one link, or no regular file.
constexpr long kUnsafeFile = -1000;

/// What `st` shows when it is no file to use ("a symbolic link", "a folder",
/// "a pipe (FIFO)", "a device", "a socket", "not a regular file", and with
/// `oneLink` "a hard link (more than one name)"); nullptr for a usable file.
const char* UnusableKind(const struct stat& st, bool oneLink);

/// Opens `name` relative to the folder `dirFd` (AT_FDCWD: `name` is a path)
/// with `flags` | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC (and `mode`
/// when O_CREAT makes it). Returns the descriptor, still non-blocking (which
/// changes nothing for a regular file), or -1.
int OpenRegularFile(int dirFd, const std::string& name, int flags, mode_t mode, ErrorState& err,
                    bool oneLink = false);

}  // namespace bw
