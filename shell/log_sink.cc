#include "shell/log_sink.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "net/system.h"
#include "shell/shell.h"

namespace brennic {
namespace {

std::FILE *log_file = nullptr;
bool log_is_fifo = false;      // the open log is a FIFO: its reader may go away or stall
bool failure_reported = false; // the log's present failure has been said on standard error
std::int64_t fifo_dropped = 0; // lines the FIFO had no room for since the last one it took

std::time_t real_now() { return std::time(nullptr); }

// The log holds the secret text and request lines with passwords: it is opened for appending,
// owner-only where the platform has modes, and never through a symbolic link, which, planted
// under the log's name, would redirect the diagnostics into another file (net/system.h,
// open_private_append). A FIFO without a reader fails at once and is reported like any log
// that cannot be opened; the next message tries again.
std::FILE *open_log_file() {
    log_kind kind = log_kind::regular;
    std::FILE *f = open_private_append(kLogFileName, kind);
    log_is_fifo = f != nullptr && kind == log_kind::fifo;
    return f;
}

// Another console logging in the same directory may delete the file this one has open
// (when it passes the size limit); lines written after that would be lost.
bool open_file_deleted(std::FILE *stream) {
    file_status st{};
    return status_of(stream, st) && st.links == 0;
}

// One line on standard error for each spell of failure: a log that cannot be opened would
// otherwise repeat the same line for every diagnostic of every command. A line that reaches
// the log ends the spell. errno holds the reason.
void report_failure() {
    if (!failure_reported) std::perror(kLogFileName);
    failure_reported = true;
}

// A line for the FIFO is written in one call of at most kWholePipeWriteMax bytes, which a
// pipe takes whole or not at all: a reader never sees part of a line.
static_assert(kLogFifoWriteMax <= kWholePipeWriteMax, "one write to a FIFO is all or nothing");
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

    switch (write_without_waiting(log_file, line, len)) {
    case write_outcome::written:
        fifo_dropped = 0;
        return fifo_outcome::written;
    case write_outcome::full:
        ++fifo_dropped;
        return fifo_outcome::dropped;
    case write_outcome::failed:
        break;
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

log_sink_seams sink_seams = {real_now, local_time};

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
std::int32_t size_of(const file_status &st) {
    if (st.size > INT32_MAX) return INT32_MAX;
    return static_cast<std::int32_t>(st.size);
}

} // namespace

std::int32_t file_size(std::FILE *stream) {
    file_status st{};
    if (!status_of(stream, st)) return 0;
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
        if (log_file && open_file_deleted(log_file)) {
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
            // The whole line in one write: the C runtime under wine writes its buffer out at
            // each LF put one character at a time (fputc, and fprintf through it), and debug
            // lines are to wait in the buffer.
            char line[kLogFifoWriteMax];
            const int n =
                std::snprintf(line, sizeof line, "%s %s: %.*s\n", stamp, word, kDiagMax, text);
            if (n > 0)
                std::fwrite(line, 1, std::min(static_cast<std::size_t>(n), sizeof line - 1),
                            log_file);
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
    // count yet. The same status tells whether the log's name still leads to this file: when
    // another console has already deleted and re-created the log, the name belongs to its new
    // file, which stays. The file is closed before it is deleted: on Windows the name of a file
    // still open would stay taken until it is closed.
    file_status open_st{};
    if (log_file && status_of(log_file, open_st) && size_of(open_st) > kLogLimitBytes) {
        std::fclose(log_file);
        log_file = nullptr;
        if (names_file(kLogFileName, open_st.identity)) std::remove(kLogFileName);
    }
    return 1;
}

void log_sink_reset() {
    if (log_file) std::fclose(log_file);
    log_file = nullptr;
    failure_reported = false;
    fifo_dropped = 0;
    sink_seams = {real_now, local_time};
}

std::FILE *log_sink_file() { return log_file; }

} // namespace brennic
