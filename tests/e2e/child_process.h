// Test helpers: temporary directories, programs run through pipes with a time limit, and
// the test server as a child process. Every process started here is stopped by its pid
// when its owner goes out of scope, also when a test fails half-way.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace brennic::e2e {

// A fresh directory under $TMPDIR (or /tmp), removed with its content on destruction.
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

// The request lines a test server's transcript file records, in order, without connection
// numbers.
std::vector<std::string> transcript_requests(const std::string &path);

struct run_result {
    std::string out;
    std::string err;
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
    pid_t pid() const { return pid_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // SIGTERM, then SIGKILL if it lingers; returns the exit status (-1: killed or none).
    int stop();
    // True while the process has not exited (reaps it when it has).
    bool running();

  private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int port_ = 0;
    int status_ = -1;
};

// A loopback port on which nothing listens: bound once by the system, then released.
int closed_port();

} // namespace brennic::e2e
