// Receiving: bytes are received into a host's buffer and deciphered once, and complete
// lines are cut off its front. Matching them to pending results is lib/reader.cc's job.
//
// Zero bytes in the deciphered stream are data: lines are found by length.
#include <cstring>

#include "base/diag.h"
#include "lib/state.h"
#include "net/socket_errors.h"
#include "net/tcp.h"

namespace brennic {
namespace {

// The first LF held in the buffer, or nullptr. Bytes already known to hold no LF are not
// scanned again, so a long line arriving in small pieces costs no more than its length.
char *find_lf(brennic_host *host) {
    if (host->scanned < 0 || host->scanned > host->inlen) host->scanned = 0;
    void *lf = std::memchr(host->inbuf + host->scanned, '\n',
                           static_cast<std::size_t>(host->inlen - host->scanned));
    if (lf == nullptr) host->scanned = host->inlen;
    return static_cast<char *>(lf);
}

// True when the buffer is full and holds no LF: the beginning of a line longer than any
// line received whole, which is cut off as a line of its own (take_line).
bool line_to_cut(brennic_host *host) {
    return host->discarding == 0 && host->inlen >= kLineMax && find_lf(host) == nullptr;
}

// While the rest of a line too long is being dropped: drops the held bytes up to and
// including the first LF, which ends that line, and stops dropping. Without a LF the bytes
// stay held, so that a further full buffer is thrown away (and reported) like the first.
void drop_rest_of_long_line(brennic_host *host) {
    if (!host->discarding) return;
    const char *lf = find_lf(host);
    if (lf == nullptr) return;
    const int rest = host->inlen - static_cast<int>(lf - host->inbuf) - 1;
    std::memmove(host->inbuf, lf + 1, static_cast<std::size_t>(rest));
    host->inlen = rest;
    host->inbuf[host->inlen] = '\0';
    host->scanned = 0;
    host->discarding = 0;
}

} // namespace

bool line_ready(brennic_host *host) { return find_lf(host) != nullptr || line_to_cut(host); }

// True when an open host already holds a line to take: the next poll can use it without
// waiting for the socket, which may have nothing more to say.
bool line_waiting() {
    for (int i = 0; i < host_count && i < kMaxHosts; ++i)
        if (link_usable(&hosts[i]) && line_ready(&hosts[i])) return true;
    return false;
}

int fill_inbuf(brennic_host *host) {
    int room = kLineMax - host->inlen;
    if (room < 1) {
        // More of a line too long, whose beginning was cut off already: thrown away. The
        // held bytes were deciphered when they came, so the keystream stays in step.
        host->inlen = 0;
        host->scanned = 0;
        host->discarding = 1;
        log_error("Throwing away incoming data, line too long");
        room = kLineMax;
    }
    if (!host->rx) {
        // Never read a byte that cannot be deciphered.
        mark_host_failed(host);
        return 0;
    }
    const int n = recv_some(host->sock, host->inbuf + host->inlen, room);
    if (n < 0) {
        host->open = 0;
        log_error("Lost connection to host %.*s (%s)\n", kHostNameMax, host->name,
                  sock_error_text());
        mark_host_failed(host);
        return 0;
    }
    if (n > 0)
        keystream_add(host->rx.get(), reinterpret_cast<unsigned char *>(host->inbuf + host->inlen),
                      n);
    host->inlen += n;
    host->received += n;
    host->inbuf[host->inlen] = '\0';
    drop_rest_of_long_line(host);
    return 1;
}

int take_line(brennic_host *host, char *line) {
    host->inbuf[host->inlen] = '\0';
    if (line_to_cut(host)) {
        // A line too long: its beginning is read as the longest line received whole would
        // be (its text is cut to the reply text limit in any case), so that a final reply
        // still completes its request, and the rest of the line, up to its LF, is thrown
        // away. The rest is never read as a line of its own: whoever chose the line's
        // length and bytes would choose that line, id and text included, and could answer
        // another request with it.
        log_error("Throwing away incoming data, line too long");
        const int length = kLineMax - 2; // as if the last two bytes were CR and LF
        std::memcpy(line, host->inbuf, static_cast<std::size_t>(length));
        line[length] = '\0';
        log_info("Got %d bytes (%.*s)", length, kDiagMax, line);
        host->inlen = 0;
        host->inbuf[0] = '\0';
        host->scanned = 0;
        host->discarding = 1;
        return 1;
    }
    const char *lf = find_lf(host);
    if (lf == nullptr) return 0;
    const int lf_at = static_cast<int>(lf - host->inbuf);
    // The byte before LF is taken as CR and dropped unseen; a lone LF cannot be cut.
    const int length = lf_at - 1;
    if (length < 0 || length >= kLineBufSize - 1) return 0;
    std::memcpy(line, host->inbuf, static_cast<std::size_t>(length));
    line[length] = '\0';
    log_info("Got %d bytes (%.*s)", length, kDiagMax, line);

    const int rest = host->inlen - (lf_at + 1);
    std::memmove(host->inbuf, host->inbuf + lf_at + 1, static_cast<std::size_t>(rest));
    host->inlen = rest;
    host->inbuf[host->inlen] = '\0';
    host->scanned = 0;
    return 1;
}

} // namespace brennic
