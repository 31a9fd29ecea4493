// What each platform's runner (child_process_posix.cc, child_process_win.cc) gives the shared
// part of the e2e helpers in child_process.cc. Only those three files include this header.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tests/e2e/child_process.h"

namespace brennic::e2e::platform {

// True where the C library ends a line written in text mode with CR LF.
extern const bool kTextLinesEndInCrLf;

// Creates a fresh directory under the temporary directory; its path, or empty on failure.
std::string make_temp_dir();

// run_program with standard output and error exactly as written (raw_out left empty).
run_result run_raw(const std::vector<std::string> &argv, const std::string &input,
                   const std::string &cwd, int timeout_ms);

// Starts argv with its standard output into a pipe whose read end becomes `out`; standard
// error is the caller's. False when it could not be started.
bool start_with_output(const std::vector<std::string> &argv, process_ref &proc, pipe_ref &out);

// Reads what arrives on `out` within ms milliseconds: the byte count, 0 at the end of the
// output or on an error, -1 when nothing came in time.
long read_within(pipe_ref out, char *buffer, std::size_t size, int ms);

void close_pipe(pipe_ref &end);

// True, with the exit status (-1: did not exit normally), once the process has ended; the
// process is then released.
bool has_exited(process_ref proc, int &status);

// Ends the process (see server_process::stop) and releases it; returns its exit status.
int stop_process(process_ref proc);

} // namespace brennic::e2e::platform
