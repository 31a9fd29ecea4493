#include "shell/log_sink.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>

#include "shell/shell.h"

namespace brennic {
namespace {

std::FILE *log_file = nullptr;
bool log_is_fifo = false; // the open log is a FIFO: its reader may go away

std::time_t real_now() { return std::time(nullptr); }

std::tm *real_local_time(const std::time_t *t, std::tm *out) { return localtime_r(t, out); }

// The log holds the secret text and request lines with passwords: a regular file of ours
// that group or others may read is narrowed to owner-only. Anything else (a FIFO, another
// user's file) is left as it is.
void narrow_mode(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) return;
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) fchmod(fd, S_IRUSR | S_IWUSR);
}

// Owner-only, append-only, and never through a symbolic link: a link planted under the
// log's name must not redirect the diagnostics into another file.
std::FILE *open_log_file() {
    // Without a reader, opening a FIFO for writing would wait for one: with O_NONBLOCK it
    // fails at once (ENXIO) and is reported like any log that cannot be opened, and the next
    // message tries again. Writes then block as usual.
    int fd = open(kLogFileName, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                  0600);
    if (fd < 0) return nullptr;
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    narrow_mode(fd);
    struct stat st {};
    log_is_fifo = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
    std::FILE *f = fdopen(fd, "a");
    if (!f) {
        int saved = errno;
        close(fd);
        errno = saved; // perror reports why fdopen failed, not close
        return nullptr;
    }
    // Every line of a FIFO leaves at once, so that none is left for the flush at exit,
    // where a reader that went away would end the process.
    if (log_is_fifo) std::setvbuf(f, nullptr, _IOLBF, 0);
    return f;
}

// While a line goes to a FIFO whose reader has gone, the write fails with EPIPE and raises
// SIGPIPE, which would end the console in the middle of its commands. The signal is held
// for the write, and one raised by it is taken back before the mask is restored.
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

// Another console logging in the same directory may delete the file this one has open
// (when it passes the size limit); lines written after that would be lost.
bool open_file_unlinked(std::FILE *stream) {
    struct stat st {};
    return fstat(fileno(stream), &st) == 0 && st.st_nlink == 0;
}

// Whether the log's name still leads to the open file described by open_st. When another
// console has already deleted and re-created the log, the name belongs to its new file.
bool name_is_open_file(const struct stat &open_st) {
    struct stat st {};
    return stat(kLogFileName, &st) == 0 && st.st_dev == open_st.st_dev &&
           st.st_ino == open_st.st_ino;
}

const char *level_word(int level) {
    switch (level) {
    case 1:
        return "Debug";
    case 2:
        return "Info";
    case 3:
        return "Error";
    default:
        return nullptr;
    }
}

} // namespace

log_sink_seams sink_seams = {real_now, real_local_time};

void make_stamp(char (&stamp)[kStampLength + 1]) {
    std::time_t now = sink_seams.now();
    std::tm parts{};
    if (sink_seams.local_time(&now, &parts) &&
        std::strftime(stamp, sizeof stamp, "%d %H:%M:%S", &parts) == kStampLength)
        return;
    std::memcpy(stamp, kBadTime + kBadTimeOffset, kStampLength);
    stamp[kStampLength] = '\0';
}

namespace {

// A file past the 32-bit range still counts as too big rather than wrapping negative.
std::int32_t size_of(const struct stat &st) {
    if (st.st_size > INT32_MAX) return INT32_MAX;
    return static_cast<std::int32_t>(st.st_size);
}

} // namespace

std::int32_t file_size(std::FILE *stream) {
    struct stat st {};
    if (fstat(fileno(stream), &st) != 0) return 0;
    return size_of(st);
}

int log_sink(int level, const char *text) {
    if (!text) text = "";
    char stamp[kStampLength + 1];
    make_stamp(stamp);
    const char *word = level_word(level);

    if (debug_flag && word) std::fprintf(shell_out, "%s: %s\n", word, text);

    if (dolog_flag) {
        if (log_file && open_file_unlinked(log_file)) {
            std::fclose(log_file);
            log_file = nullptr;
        }
        if (!log_file) log_file = open_log_file();
        if (!log_file) {
            std::perror(kLogFileName);
            return 0;
        }
        std::optional<pipe_signal_held> held;
        if (log_is_fifo) held.emplace();
        if (word) std::fprintf(log_file, "%s %s: %s\n", stamp, word, text);
        // Debug lines may wait in the buffer; info and error lines reach the file at once.
        if (level >= 2) std::fflush(log_file);
        // A FIFO whose reader went away: reported, and closed while the signal is still
        // held; the next message opens it again, or reports why it cannot.
        if (log_is_fifo && std::ferror(log_file)) {
            const int saved = errno;
            std::fclose(log_file);
            log_file = nullptr;
            errno = saved;
            std::perror(kLogFileName);
            return 0;
        }
    }

    // The size seen here is what the file system holds, so unflushed debug lines do not
    // count yet. The same status tells whether the log's name still leads to this file.
    struct stat open_st {};
    if (log_file && fstat(fileno(log_file), &open_st) == 0 && size_of(open_st) > kLogLimitBytes) {
        std::fclose(log_file);
        log_file = nullptr;
        if (name_is_open_file(open_st)) std::remove(kLogFileName);
    }
    return 1;
}

void log_sink_reset() {
    if (log_file) std::fclose(log_file);
    log_file = nullptr;
    sink_seams = {real_now, real_local_time};
}

std::FILE *log_sink_file() { return log_file; }

} // namespace brennic
