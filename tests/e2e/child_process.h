// Test helpers: temporary directories, programs run through pipes with a time limit, and
// the test server as a child process. Every process started here is stopped when its owner
// goes out of scope, also when a test fails half-way. One implementation per platform
// (child_process_posix.cc, child_process_win.cc) does the process and pipe work; what they
// share is in child_process.cc.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brennic::e2e {

// A started child as the platform knows it: its pid on POSIX, its process handle on Windows.
// A pipe end the same way: a descriptor or a handle. -1 stands for none in both.
using process_ref = std::intptr_t;
using pipe_ref = std::intptr_t;
inline constexpr std::intptr_t kNone = -1;

// A fresh directory under the platform's temporary directory, removed with its content on
// destruction.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // Writes text to name inside the directory and returns the full path.
    std::string write(const std::string &name, const std::string &text) const;

  private:
    std::string path_;
};

std::string read_file(const std::string &path);

// A text file another program wrote, with each CR LF read as LF where the platform's C
// library writes text lines that way (Windows).
std::string read_text(const std::string &path);

// The request lines a test server's transcript file records, in order, without connection
// numbers.
std::vector<std::string> transcript_requests(const std::string &path);

struct run_result {
    // Standard output and error as a program writing text lines with LF would have written
    // them: on Windows, whose text mode writes CR LF, each CR LF becomes LF.
    std::string out;
    std::string err;
    std::string raw_out;  // standard output byte for byte
    int exit_status = -1; // exit code, or -1 when the program did not exit normally
    bool timed_out = false;
};

// Runs argv[0] with argv in cwd, feeding input on standard input and then closing it, and
// gathers standard output and error. After timeout_ms the program is killed.
run_result run_program(const std::vector<std::string> &argv, const std::string &input,
                       const std::string &cwd, int timeout_ms);

// The test server, started on a free loopback port.
class server_process {
  public:
    server_process() = default;
    ~server_process();
    server_process(const server_process &) = delete;
    server_process &operator=(const server_process &) = delete;

    // Starts the server with --port 0 and the given extra arguments, and waits (bounded)
    // for it to report its port. False when it did not start.
    bool start(const std::vector<std::string> &args);
    int port() const { return port_; }
    process_ref pid() const { return proc_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // Stops the server and returns its exit status (-1: killed or none). POSIX sends SIGTERM
    // and kills only a server that lingers; Windows, which has no such request for another
    // console program, ends it at once.
    int stop();
    // True while the process has not exited.
    bool running();

  private:
    process_ref proc_ = kNone;
    pipe_ref out_ = kNone;
    int port_ = 0;
    int status_ = -1;
};

// A loopback port on which nothing listens: bound once by the system, then released.
int closed_port();

} // namespace brennic::e2e
