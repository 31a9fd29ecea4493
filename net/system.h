// The platform's calls other than sockets: files, the standard streams and the local time.
// Declared here without any platform header; net/posix/system.cc and net/win/system.cc
// implement them, and the build takes the one it targets. Failures leave their cause in errno,
// as the C library's calls do, so that callers report them with strerror or perror.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace brennic {

// ---- Files

// What an open file is. A FIFO (a named pipe) and a device deliver their bytes over time.
enum class file_kind { unknown, regular, directory, fifo, device };

// Opens path for reading, without waiting (a FIFO with no writer opens at once and stays
// non-blocking) and not inherited by programs started later. A descriptor, or -1 with errno.
// Only files on disk open on Windows; a directory fails there with EISDIR.
int open_for_reading(const char *path);

// The kind of the open descriptor fd; unknown, with errno, when it cannot be told.
file_kind kind_of(int fd);

// Reads up to n bytes from fd: the count, 0 at the end of the input, -1 with errno on failure
// (EAGAIN when a non-blocking descriptor has nothing yet). An interrupted read is retried.
int read_input(int fd, char *buffer, int n);

// Waits up to wait_ms for fd to have input (or its end, or an error) to read: 1 when it has,
// 0 when the time ran out. A negative fd has nothing to watch: the whole time is waited.
int input_ready(int fd, int wait_ms);

// Closes a descriptor from open_for_reading.
void close_input(int fd);

// Creates path, or empties it, for writing: readable by its owner only (POSIX; Windows
// files take their access from their folder), never waiting for a reader of a FIFO, not
// inherited. The bytes are written as given. nullptr with errno when it cannot be opened.
std::FILE *create_private_file(const char *path);

// How a log file opened by open_private_append may be written.
enum class log_kind { regular, fifo };

// Opens path for appending, for lines nobody but its owner may read: never through a
// symbolic link (on Windows any reparse point), only a regular file or a FIFO of the
// effective user (a wider mode of the user's regular file is narrowed to owner-only), a FIFO
// only when it has a reader and then without blocking. nullptr with errno when it cannot
// be opened or is refused (EPERM). The bytes are written as given.
std::FILE *open_private_append(const char *path, log_kind &kind);

// Which file a name led to, as the file system tells files apart.
struct file_identity {
    std::uint64_t device;
    std::uint64_t index;
};

struct file_status {
    std::int64_t size;  // bytes the file system holds (not what waits in the stream's buffer)
    std::int64_t links; // names that lead to the file; 0 once it has been deleted
    file_identity identity;
};

// The status of the stream's file; false with errno when there is none (a memory stream).
bool status_of(std::FILE *stream, file_status &status);

// Whether path leads to the file with this identity now.
bool names_file(const char *path, const file_identity &identity);

// A write to a FIFO of at most this many bytes goes in whole or not at all.
inline constexpr std::size_t kWholePipeWriteMax = 4096;

enum class write_outcome { written, full, failed };

// Writes the bytes to the stream's file in one call that never waits, bypassing its buffer:
// full when a FIFO has no room for them, failed (errno) when its reader has gone or the write
// failed otherwise. A reader that has gone never raises a signal.
write_outcome write_without_waiting(std::FILE *stream, const char *bytes, std::size_t length);

// The platform's directory of system files: the default secret file lives there.
const char *system_directory();

// The separator of a directory and a name in a path.
char path_separator();

// ---- Standard streams

// Makes standard input, output and error fit for the console: any that is closed is opened
// on the null device, and input and output read and write blocking. On Windows output and
// error are in text mode (LF goes out as CR LF), and input from a pipe or file in binary mode
// (bytes as sent; a console's typed input stays in text mode, where Ctrl-Z ends it).
// False when a closed stream could not be opened.
bool prepare_standard_streams();

// Whether the stream is an interactive terminal (a console window on Windows).
bool is_terminal(std::FILE *stream);

// The stream's descriptor, -1 for one without (a memory stream).
int descriptor_of(std::FILE *stream);

// A stream that collects what is written to it until close_memory_output hands it over.
// nullptr with errno when none can be had.
std::FILE *open_memory_output(char **data, std::size_t *size);

// Closes a stream from open_memory_output; *data (to be freed with free) and *size then hold
// what was written to it. *data is nullptr and *size 0 when it could not be kept.
void close_memory_output(std::FILE *stream, char **data, std::size_t *size);

// ---- Time

// The broken-down local time of t into out; nullptr when it cannot be converted.
std::tm *local_time(const std::time_t *t, std::tm *out);

} // namespace brennic
