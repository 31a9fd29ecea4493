#include "net/system.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "base/clock.h"

namespace brennic {

static_assert(kWholePipeWriteMax <= PIPE_BUF, "a write of that size to a FIFO is atomic");

int open_for_reading(const char *path) { return ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC); }

file_kind kind_of(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return file_kind::unknown;
    if (S_ISREG(st.st_mode)) return file_kind::regular;
    if (S_ISDIR(st.st_mode)) return file_kind::directory;
    if (S_ISFIFO(st.st_mode)) return file_kind::fifo;
    return file_kind::device;
}

int read_input(int fd, char *buffer, int n) {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, static_cast<std::size_t>(n < 0 ? 0 : n));
        if (got < 0 && errno == EINTR) continue;
        return static_cast<int>(got);
    }
}

int input_ready(int fd, int wait_ms) {
    if (wait_ms < 0) wait_ms = 0;
    const std::int64_t until = monotonic_ms() + wait_ms;
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int n = ::poll(&entry, fd >= 0 ? 1 : 0, wait_ms);
        if (n > 0) return 1;
        if (n == 0) return 0;
        // A failed wait is left to the read to report; an interrupted one goes on.
        if (errno != EINTR) return 1;
        const std::int64_t left = until - monotonic_ms();
        if (left <= 0) return 0;
        wait_ms = static_cast<int>(left);
    }
}

void close_input(int fd) { ::close(fd); }

std::FILE *create_private_file(const char *path) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    std::FILE *f = ::fdopen(fd, "w");
    if (f == nullptr) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
    }
    return f;
}

namespace {

// The log holds the secret text and request lines with passwords: a regular file of ours
// that group or others may read is narrowed to owner-only. Anything else (a FIFO, another
// user's file) is left as it is.
void narrow_mode(int fd, const struct stat &st) {
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) return;
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) ::fchmod(fd, S_IRUSR | S_IWUSR);
}

// Whether an opened log may receive the lines: a regular file or a FIFO of the effective
// user. A file planted by another user (in a shared directory) would hand the secret to that
// user, and anything else (a device, a socket) is no log at all.
bool is_own_log(const struct stat &st) {
    return (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)) && st.st_uid == geteuid();
}

// While a line goes to a FIFO whose reader has gone, the write fails with EPIPE and raises
// SIGPIPE, which would end the program in the middle of its work. The signal is held for
// the write, and one raised by it is taken back before the mask is restored.
class pipe_signal_held {
  public:
    pipe_signal_held() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        pending_before_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &saved_);
    }
    ~pipe_signal_held() {
        if (!pending_before_) {
            const timespec none{};
            while (sigtimedwait(&pipe_, nullptr, &none) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    pipe_signal_held(const pipe_signal_held &) = delete;
    pipe_signal_held &operator=(const pipe_signal_held &) = delete;

  private:
    sigset_t pipe_{};
    sigset_t saved_{};
    bool pending_before_ = false;
};

} // namespace

std::FILE *open_private_append(const char *path, log_kind &kind) {
    // Without a reader, opening a FIFO for writing would wait for one: with O_NONBLOCK it
    // fails at once (ENXIO). The descriptor stays non-blocking, so that a reader that stops
    // reading never holds the writer up.
    const int fd =
        ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !is_own_log(st)) {
        ::close(fd);
        errno = EPERM;
        return nullptr;
    }
    narrow_mode(fd, st);
    kind = S_ISFIFO(st.st_mode) ? log_kind::fifo : log_kind::regular;
    std::FILE *f = ::fdopen(fd, "a");
    if (f == nullptr) {
        const int saved = errno;
        ::close(fd);
        errno = saved; // the caller reports why fdopen failed, not close
    }
    return f;
}

bool status_of(std::FILE *stream, file_status &status) {
    struct stat st {};
    const int fd = ::fileno(stream);
    if (fd < 0 || ::fstat(fd, &st) != 0) return false;
    status.size = static_cast<std::int64_t>(st.st_size);
    status.links = static_cast<std::int64_t>(st.st_nlink);
    status.identity = {static_cast<std::uint64_t>(st.st_dev),
                       static_cast<std::uint64_t>(st.st_ino)};
    return true;
}

bool names_file(const char *path, const file_identity &identity) {
    struct stat st {};
    return ::stat(path, &st) == 0 && static_cast<std::uint64_t>(st.st_dev) == identity.device &&
           static_cast<std::uint64_t>(st.st_ino) == identity.index;
}

write_outcome write_without_waiting(std::FILE *stream, const char *bytes, std::size_t length) {
    ssize_t wrote = -1;
    int write_error = 0;
    {
        const pipe_signal_held held;
        wrote = ::write(::fileno(stream), bytes, length);
        write_error = errno;
    }
    errno = write_error; // taking back a raised SIGPIPE sets errno of its own
    if (wrote >= 0) return write_outcome::written;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return write_outcome::full;
    return write_outcome::failed;
}

const char *system_directory() { return "/etc"; }

char path_separator() { return '/'; }

// Standard input, output and error that were closed when the program was started are opened
// on /dev/null. Left closed, the first socket the library opens would take one of their
// numbers: commands would be read from the server link, and replies, diagnostics (the
// secret among them) and errors written into it in clear.
//
// A caller may hand over standard input or output in non-blocking mode (a pipe it shares, a
// terminal a parent left so). Stdio takes EAGAIN for an error: input would end early, and a
// reply to a slow reader would be cut. They are set to blocking.
bool prepare_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd) return false; // the lowest free number is this one
    }
    for (int fd = 0; fd <= 1; ++fd) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags != -1 && (flags & O_NONBLOCK) != 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    return true;
}

bool is_terminal(std::FILE *stream) {
    const int fd = ::fileno(stream);
    return fd >= 0 && ::isatty(fd) == 1;
}

int descriptor_of(std::FILE *stream) { return ::fileno(stream); }

std::FILE *open_memory_output(char **data, std::size_t *size) {
    return ::open_memstream(data, size);
}

void close_memory_output(std::FILE *stream, char **data, std::size_t *size) {
    // fclose leaves the final buffer and its size in *data and *size.
    std::fclose(stream);
    if (*data == nullptr) *size = 0;
}

std::tm *local_time(const std::time_t *t, std::tm *out) { return ::localtime_r(t, out); }

} // namespace brennic
