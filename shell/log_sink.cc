#include "shell/log_sink.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "shell/shell.h"

namespace brennic {
namespace {

std::FILE *log_file = nullptr;
bool log_is_fifo = false;      // the open log is a FIFO: its reader may go away or stall
bool failure_reported = false; // the log's present failure has been said on standard error
std::int64_t fifo_dropped = 0; // lines the FIFO had no room for since the last one it took

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

// Whether an opened log may receive the diagnostics: a regular file or a FIFO of the
// effective user. A file planted by another user (in a shared directory) would hand the
// secret to that user, and anything else (a device, a socket) is no log at all.
bool is_own_log(const struct stat &st) {
    return (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)) && st.st_uid == geteuid();
}

// Owner-only, append-only, and never through a symbolic link: a link planted under the
// log's name must not redirect the diagnostics into another file.
std::FILE *open_log_file() {
    // Without a reader, opening a FIFO for writing would wait for one: with O_NONBLOCK it
    // fails at once (ENXIO) and is reported like any log that cannot be opened, and the next
    // message tries again. The descriptor stays non-blocking, so that a reader that stops
    // reading never holds the console up.
    int fd = open(kLogFileName, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                  0600);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !is_own_log(st)) {
        close(fd);
        errno = EPERM;
        return nullptr;
    }
    narrow_mode(fd);
    log_is_fifo = S_ISFIFO(st.st_mode);
    std::FILE *f = fdopen(fd, "a");
    if (!f) {
        int saved = errno;
        close(fd);
        errno = saved; // perror reports why fdopen failed, not close
        return nullptr;
    }
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

// One line on standard error for each spell of failure: a log that cannot be opened would
// otherwise repeat the same line for every diagnostic of every command. A line that reaches
// the log ends the spell. errno holds the reason.
void report_failure() {
    if (!failure_reported) std::perror(kLogFileName);
    failure_reported = true;
}

// A line for the FIFO is written in one call of at most PIPE_BUF bytes, which a pipe takes
// whole or not at all: a reader never sees part of a line.
static_assert(kLogFifoWriteMax <= PIPE_BUF, "one write to a FIFO is all or nothing");
static_assert(kLogDropNoticeMax + kStampLength + sizeof " Error: " + kDiagMax < kLogFifoWriteMax,
              "a drop notice and a whole diagnostic fit one FIFO write");

enum class fifo_outcome { written, dropped, reader_gone };

// Writes one line to the FIFO without waiting. A line the FIFO has no room for (its reader
// has stopped reading) is dropped and counted; the next line that goes through is preceded
// by a line with the count. Diagnostics hold at most kDiagMax characters, so none is cut.
fifo_outcome write_fifo_line(const char *stamp, const char *word, const char *text) {
    char line[kLogFifoWriteMax];
    std::size_t len = 0;
    if (fifo_dropped > 0) {
        const int n =
            std::snprintf(line, kLogDropNoticeMax,
                          "%s Error: %lld log lines dropped, the reader did not keep up\n", stamp,
                          static_cast<long long>(fifo_dropped));
        if (n > 0) len = static_cast<std::size_t>(n);
    }
    const int n =
        std::snprintf(line + len, sizeof line - len, "%s %s: %.*s\n", stamp, word, kDiagMax, text);
    if (n > 0) len += std::min(static_cast<std::size_t>(n), sizeof line - len - 1);

    ssize_t wrote = -1;
    int write_error = 0;
    {
        const pipe_signal_held held;
        wrote = write(fileno(log_file), line, len);
        write_error = errno;
    }
    errno = write_error; // taking back a raised SIGPIPE sets errno of its own
    if (wrote >= 0) {
        fifo_dropped = 0;
        return fifo_outcome::written;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        ++fifo_dropped;
        return fifo_outcome::dropped;
    }
    return fifo_outcome::reader_gone;
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

    if (debug_flag && word) {
        // Diagnostics quote server text; a terminal is shown it as the replies are.
        std::FILE *echo = echo_out ? echo_out : shell_out;
        if (echo_out ? echo_out_is_terminal : shell_out_is_terminal) {
            std::fprintf(echo, "%s: ", word);
            put_text_line_as(echo, text, true);
        } else {
            std::fprintf(echo, "%s: %s\n", word, text);
        }
    }

    if (dolog_flag) {
        if (log_file && open_file_unlinked(log_file)) {
            std::fclose(log_file);
            log_file = nullptr;
        }
        if (!log_file) log_file = open_log_file();
        if (!log_file) {
            report_failure();
            return 0;
        }
        if (log_is_fifo && word) {
            const fifo_outcome outcome = write_fifo_line(stamp, word, text);
            if (outcome == fifo_outcome::written) failure_reported = false;
            // The reader went away: reported, and the FIFO closed; the next message opens
            // it again, or reports why it cannot.
            if (outcome == fifo_outcome::reader_gone) {
                const int saved = errno;
                std::fclose(log_file);
                log_file = nullptr;
                errno = saved;
                report_failure();
                return 0;
            }
        } else if (!log_is_fifo && word) {
            std::fprintf(log_file, "%s %s: %s\n", stamp, word, text);
            // A line that did not reach the file (a full disk) is a failure like any other:
            // said once, and the spell ends only with a line that did.
            if (level >= 2) std::fflush(log_file);
            if (std::ferror(log_file)) {
                std::clearerr(log_file);
                report_failure();
            } else {
                failure_reported = false;
            }
        }
        // Debug lines may wait in the buffer; info and error lines reach the file at once.
        if (level >= 2) std::fflush(log_file);
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
    failure_reported = false;
    fifo_dropped = 0;
    sink_seams = {real_now, real_local_time};
}

std::FILE *log_sink_file() { return log_file; }

} // namespace brennic
