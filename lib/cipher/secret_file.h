// The shared secret: the first line of the secret file.
#pragma once

namespace brennic {

// The first line of the file at path (empty path: the default file), without CR and LF,
// at most 399 characters, in a static buffer valid until the next call; empty text when
// nothing could be read. With generate nonzero, a missing or empty file is (re)filled with
// a fresh line first. The file is opened for reading through hooks.open_file (lib/hooks.h).
const char *read_secret(const char *path, int generate);

// The system directory joined with name, in a static buffer valid until the next call.
const char *system_dir_file(const char *name);

} // namespace brennic
