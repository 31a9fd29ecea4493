// The shared secret: the first line of the secret file.
#pragma once

#include <cstdio>

namespace brennic {

// Opens the secret file for reading: std::fopen unless a test has put another call here to
// make the open fail.
using file_open_fn = std::FILE *(*)(const char *path, const char *mode);
extern file_open_fn secret_file_open;

// The first line of the file at path (empty path: the default file), without CR and LF,
// at most 399 characters, in a static buffer valid until the next call; empty text when
// nothing could be read. With generate nonzero, a missing or empty file is (re)filled with
// a fresh line first.
const char *read_secret(const char *path, int generate);

// The system directory joined with name, in a static buffer valid until the next call.
const char *system_dir_file(const char *name);

} // namespace brennic
