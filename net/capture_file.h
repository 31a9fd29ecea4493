// The capture file of the sending utilities: every byte sent is appended to it, so it is
// opened as carefully as a log. Each platform implements it in its own capture_file.cc.
#pragma once

#include <cstddef>

namespace brennic {

// Appends length bytes to the file at path, created when missing; a write cut short goes on
// from where it stopped, and one that fails ends the append unreported. The file is never
// reached through a link, and it is kept only when it is a plain file:
// - POSIX: opened without following a symbolic link, created owner-only (0600), without
//   waiting for a FIFO's reader, and written only when it is a regular file of the effective
//   user (not one planted by another user, nor a FIFO or device that could hold the sender
//   up);
// - Windows: the file has no modes; a reparse point (a symbolic link or a junction) is opened
//   as itself and refused, as is a directory or anything but a disk file.
// Returns null when the file was opened, else the reason it was not, in a static buffer valid
// until the next call.
const char *append_capture(const char *path, const char *bytes, std::size_t length);

} // namespace brennic
