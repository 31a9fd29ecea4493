// The e2e runner's POSIX part: fork and exec with pipes, poll for the bounded wait, signals to
// stop a child, mkdtemp for temporary directories.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "tests/e2e/child_process_platform.h"

namespace brennic::e2e {

namespace {

constexpr int kReapMs = 3000; // for a child to exit once its output has ended or SIGTERM came

long long now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

int exit_code_of(int wstatus) { return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1; }

// Waits for pid up to ms milliseconds; true with the status when it exited.
bool wait_bounded(pid_t pid, int ms, int &wstatus) {
    long long end = now_ms() + ms;
    for (;;) {
        pid_t r = waitpid(pid, &wstatus, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return true; // already reaped elsewhere
        if (now_ms() >= end) return false;
        usleep(2000);
    }
}

[[noreturn]] void exec_child(const std::vector<std::string> &argv, const std::string &cwd) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

} // namespace

namespace platform {

const bool kTextLinesEndInCrLf = false;

std::string make_temp_dir() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/brennic-e2e-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) != nullptr ? std::string(buf.data()) : std::string();
}

run_result run_raw(const std::vector<std::string> &argv, const std::string &input,
                   const std::string &cwd, int timeout_ms) {
    run_result res;
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0) return res;
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return res;
    if (pipe2(err_pipe, O_CLOEXEC) != 0) return res;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        exec_child(argv, cwd);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        close(in_pipe[1]);
        close(out_pipe[0]);
        close(err_pipe[0]);
        return res;
    }
    int in_fd = in_pipe[1], out_fd = out_pipe[0], err_fd = err_pipe[0];
    set_nonblocking(in_fd);
    std::size_t written = 0;
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    const long long end = now_ms() + timeout_ms;
    char buf[65536];
    while (out_fd >= 0 || err_fd >= 0) {
        long long left = end - now_ms();
        if (left <= 0) {
            res.timed_out = true;
            break;
        }
        pollfd pfds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
        int rc = poll(pfds, 3, static_cast<int>(left));
        if (rc < 0 && errno != EINTR) break;
        for (int k = 0; k < 2; ++k) {
            int &fd = k == 0 ? out_fd : err_fd;
            if (fd >= 0 && (pfds[k].revents & (POLLIN | POLLHUP | POLLERR))) {
                ssize_t n = read(fd, buf, sizeof buf);
                if (n > 0) {
                    (k == 0 ? res.out : res.err).append(buf, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EAGAIN) {
                    close(fd);
                    fd = -1;
                }
            }
        }
        if (in_fd >= 0 && (pfds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(in_fd, input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            if (n < 0 && errno != EAGAIN) written = input.size();
            if (written >= input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    for (int fd : {in_fd, out_fd, err_fd}) {
        if (fd >= 0) close(fd);
    }
    int wstatus = 0;
    if (res.timed_out || !wait_bounded(pid, kReapMs, wstatus)) {
        res.timed_out = true;
        kill(pid, SIGKILL);
        waitpid(pid, &wstatus, 0);
        return res;
    }
    res.exit_status = exit_code_of(wstatus);
    return res;
}

bool start_with_output(const std::vector<std::string> &argv, process_ref &proc, pipe_ref &out) {
    int out_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return false;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        exec_child(argv, {});
    }
    close(out_pipe[1]);
    if (pid < 0) {
        close(out_pipe[0]);
        return false;
    }
    proc = pid;
    out = out_pipe[0];
    return true;
}

long read_within(pipe_ref out, char *buffer, std::size_t size, int ms) {
    const int fd = static_cast<int>(out);
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return -1;
    const ssize_t n = read(fd, buffer, size);
    return n > 0 ? static_cast<long>(n) : 0;
}

void close_pipe(pipe_ref &end) {
    if (end == kNone) return;
    close(static_cast<int>(end));
    end = kNone;
}

bool has_exited(process_ref proc, int &status) {
    const pid_t pid = static_cast<pid_t>(proc);
    int wstatus = 0;
    const pid_t r = waitpid(pid, &wstatus, WNOHANG);
    if (r == 0) return false;
    if (r == pid) status = exit_code_of(wstatus);
    return true;
}

int stop_process(process_ref proc) {
    const pid_t pid = static_cast<pid_t>(proc);
    int wstatus = 0;
    kill(pid, SIGTERM);
    if (wait_bounded(pid, kReapMs, wstatus)) return exit_code_of(wstatus);
    kill(pid, SIGKILL);
    waitpid(pid, &wstatus, 0);
    return -1;
}

} // namespace platform

int closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    int port = 1;
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    close(fd);
    return port;
}

} // namespace brennic::e2e
