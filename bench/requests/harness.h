// Benchmark harness: a clock, summary statistics, a scratch directory with the users and
// secret files, child processes started by posix_spawn (stopped by pid), and the test
// directory server as a child.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace brennic::bench {

// Monotonic nanoseconds.
std::int64_t now_ns();

// Nearest-rank percentile (p from 0 to 100) of samples; 0 when there are none. The vector
// is sorted in place.
double percentile(std::vector<double> &samples, double p);
inline double median(std::vector<double> &samples) { return percentile(samples, 50.0); }

// The directory holding this executable, from /proc/self/exe; "." when unknown.
std::string own_bin_dir();

// Users u0..u{count-1} with passwords p0..p{count-1}.
inline constexpr int kBenchUsers = 100;
std::string user_name(int i);
std::string user_password(int i);
// The reply text the server gives to a check with the right password.
std::string accepted_text(int i);
// The i-th check of a run: "check u<k> p<k>" with k = i mod kBenchUsers, answered with
// accepted_text(k).
std::string check_command(int i);

// A scratch directory under $TMPDIR or /tmp holding "users" and "secret"; removed on
// destruction.
class scratch_dir {
  public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;
    bool ok() const { return !path_.empty(); }
    std::string file(const char *name) const { return path_ + "/" + name; }
    // Writes text to a file of the directory; returns its full path, empty on failure.
    std::string write(const char *name, const std::string &text) const;

  private:
    std::string path_;
};

// Starts argv with the given descriptors as standard input and output (-1: /dev/null);
// standard error is kept. Returns the pid, or -1.
pid_t spawn(const std::vector<std::string> &argv, int in_fd, int out_fd);

// Waits for pid and returns its exit code (-1 when it did not exit normally), with its own
// resource usage in usage when that is not null.
int wait_child(pid_t pid, rusage *usage);

// The test server on a free loopback port. Stopped with SIGTERM by its pid on destruction.
class server_process {
  public:
    server_process() = default;
    ~server_process();
    server_process(const server_process &) = delete;
    server_process &operator=(const server_process &) = delete;
    // Starts bin_dir/brennic-testserver with the scratch files and waits (bounded) for the
    // port it reports. False when it did not start.
    // extra: further server options (a reply delay, say).
    bool start(const std::string &bin_dir, const scratch_dir &dir, int max_seconds,
               const std::vector<std::string> &extra = {});
    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    void stop();

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// Writes all of text to fd; false on error.
bool write_all(int fd, const char *bytes, std::size_t length);

// Reads fd to its end into out; false on error.
bool read_all(int fd, std::string &out);

} // namespace brennic::bench
