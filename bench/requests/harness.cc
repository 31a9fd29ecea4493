#include "bench/requests/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

extern char **environ;

namespace brennic::bench {

namespace {

constexpr int kPortWaitMs = 5000;
constexpr int kStopWaitMs = 2000;

} // namespace

std::int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double percentile(std::vector<double> &samples, double p) {
    if (samples.empty()) return 0.0;
    std::sort(samples.begin(), samples.end());
    // Nearest rank: the smallest sample with at least p percent of the samples at or below.
    double rank = std::ceil(p / 100.0 * static_cast<double>(samples.size()));
    std::size_t index = rank < 1.0 ? 0 : static_cast<std::size_t>(rank) - 1;
    return samples[std::min(index, samples.size() - 1)];
}

std::string own_bin_dir() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return ".";
    return exe.parent_path().string();
}

// Built with append: GCC 12 warns falsely on a literal plus a temporary string.
std::string user_name(int i) { return std::string("u").append(std::to_string(i)); }
std::string user_password(int i) { return std::string("p").append(std::to_string(i)); }
std::string accepted_text(int i) {
    return std::string("+OK ").append(user_name(i)).append(" password accepted");
}

std::string check_command(int i) {
    return "check " + user_name(i % kBenchUsers) + " " + user_password(i % kBenchUsers);
}

scratch_dir::scratch_dir() {
    const char *base = std::getenv("TMPDIR");
    std::string templ =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/brennic-bench-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) return;
    path_ = buf.data();
    std::string users;
    for (int i = 0; i < kBenchUsers; ++i)
        users += user_name(i) + " " + user_password(i) + " mail=" + user_name(i) + "@example.org\n";
    if (write("users", users).empty() || write("secret", "bench shared secret\n").empty())
        path_.clear();
}

scratch_dir::~scratch_dir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string scratch_dir::write(const char *name, const std::string &text) const {
    std::string path = file(name);
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return {};
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (std::fclose(f) == 0) && ok;
    return ok ? path : std::string();
}

pid_t spawn(const std::vector<std::string> &argv, int in_fd, int out_fd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, in_fd, 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int wait_child(pid_t pid, rusage *usage) {
    int status = 0;
    rusage own{};
    pid_t got;
    do {
        got = wait4(pid, &status, 0, &own);
    } while (got < 0 && errno == EINTR);
    if (got != pid) return -1;
    if (usage != nullptr) *usage = own;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool write_all(int fd, const char *bytes, std::size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool read_all(int fd, std::string &out) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

server_process::~server_process() { stop(); }

bool server_process::start(const std::string &bin_dir, const scratch_dir &dir, int max_seconds,
                           const std::vector<std::string> &extra) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    std::vector<std::string> argv = {bin_dir + "/brennic-testserver",
                                     "--port",
                                     "0",
                                     "--users",
                                     dir.file("users"),
                                     "--secret",
                                     dir.file("secret"),
                                     "--max-seconds",
                                     std::to_string(max_seconds),
                                     "--quiet"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    pid_ = spawn(argv, -1, fds[1]);
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        return false;
    }
    // The server prints "PORT <n>" once it listens.
    std::string got;
    const std::int64_t deadline = now_ns() + std::int64_t{kPortWaitMs} * 1000000;
    while (got.find('\n') == std::string::npos && now_ns() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[64];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (got.rfind("PORT ", 0) == 0) port_ = std::atoi(got.c_str() + 5);
    if (port_ <= 0) {
        stop();
        return false;
    }
    return true;
}

void server_process::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const std::int64_t deadline = now_ns() + std::int64_t{kStopWaitMs} * 1000000;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (now_ns() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        usleep(1000);
    }
    pid_ = -1;
}

} // namespace brennic::bench
