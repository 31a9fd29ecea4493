#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/diag.h"
#include "net/extra/utilities.h"
#include "net/socket_errors.h"

namespace brennic {

char pending_out[kPendingOutSize];
std::int32_t pending_len = 0;

namespace {

constexpr std::size_t kSendPrintfSize = 7000;
constexpr const char *kCaptureFile = "raw.dat";

} // namespace

int send_some(int sock, const char *bytes, int length) {
    const int sent = send_bytes(sock, bytes, length);
    record_sock_error();
    if (sent > 0) return sent;
    return would_block() ? 0 : -1;
}

int send_printf(int sock, const char *format, ...) {
    char text[kSendPrintfSize];
    va_list args;
    va_start(args, format);
    const int wanted = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (wanted < 0) return 0;
    // A text longer than the buffer is cut; what is sent is then never the whole text.
    const int length = std::min(wanted, static_cast<int>(sizeof text) - 1);
    return send_captured(sock, text, length) == wanted ? 1 : 0;
}

namespace {

// The capture holds every byte sent, so it is opened as carefully as a log: never through a
// symbolic link, created owner-only, without waiting for a FIFO's reader, and kept only when
// it is a regular file of the effective user (not one planted by another user, nor a FIFO
// or device that could hold the sender up). Returns -1 with errno set otherwise.
int open_capture() {
    const int fd = open(kCaptureFile,
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

// Appends the bytes whole; a write cut short by a full disk goes on from where it stopped.
void append_all(int fd, const char *bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
}

} // namespace

int send_captured(int sock, const char *bytes, int length) {
    if (length > 0) {
        const int fd = open_capture();
        if (fd >= 0) {
            append_all(fd, bytes, static_cast<std::size_t>(length));
            close(fd);
        } else {
            log_error("Capture file (%s) cannot be opened, %d bytes sent uncaptured: %s\n",
                      kCaptureFile, length, std::strerror(errno));
        }
    }
    return send_bytes(sock, bytes, length);
}

void send_pending(int sock) {
    const int total = std::clamp(static_cast<int>(pending_len), 0, kPendingOutSize);
    int offset = 0;
    while (offset < total) {
        const int sent = send_bytes(sock, pending_out + offset, total - offset);
        record_sock_error();
        // A send that moves nothing would repeat for ever: stop there as on a failure.
        if (sent <= 0) break;
        offset += sent;
    }
    pending_len = 0;
}

} // namespace brennic
