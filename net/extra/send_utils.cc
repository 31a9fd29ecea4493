#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "base/diag.h"
#include "net/capture_file.h"
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

int send_captured(int sock, const char *bytes, int length) {
    if (length > 0) {
        const char *why = append_capture(kCaptureFile, bytes, static_cast<std::size_t>(length));
        if (why != nullptr)
            log_error("Capture file (%s) cannot be opened, %d bytes sent uncaptured: %s\n",
                      kCaptureFile, length, why);
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
