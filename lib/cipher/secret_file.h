// The shared secret: the first line of the secret file.
#pragma once

#include <cstddef>

namespace brennic {

// The first line of the file at path (empty path: the default file), without CR and LF,
// at most 399 characters, in a static buffer valid until the next call; empty text when
// nothing could be read. With generate nonzero, a missing or empty file is (re)filled with
// a fresh line first. The file is opened for reading through hooks.open_file (lib/hooks.h),
// without waiting; a FIFO or device has hooks.secret_wait_ms to give its line, and one that
// gives none in time, or a directory, reads as an empty text.
const char *read_secret(const char *path, int generate);

// When the last read_secret found its file unreadable (for a cause other than its absence):
// one diagnostic that names the path and the cause. Empty otherwise.
const char *secret_failure();

// The system directory joined with name, in a static buffer valid until the next call:
// /etc/name on POSIX, <system directory>\name on Windows (C:\Windows\System32\name).
const char *system_dir_file(const char *name);

// Joins dir, separator and name into out (out_size bytes with the terminator): the directory
// is cut to leave room for the separator, the name to what room is left; a directory that
// ends in the separator takes no second one.
void join_dir_file(const char *dir, char separator, const char *name, char *out,
                   std::size_t out_size);

} // namespace brennic
