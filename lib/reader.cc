// The receiving side: bytes are received into a host's buffer and deciphered once, complete
// lines are cut off its front and matched to pending results by id; poll collects one
// finished result per call and the blocking wait polls until its id comes back.
//
// Zero bytes in the deciphered stream are data: lines are found by length, and a reply
// text handed on ends at its first zero byte.
#include <cstdlib>
#include <cstring>

#include "base/diag.h"
#include "base/text.h"
#include "lib/protocol.h"
#include "lib/state.h"
#include "net/socket_errors.h"
#include "net/tcp.h"

namespace brennic {
namespace {

constexpr const char *kFailureText = "-ERR brenniclib failed while talking to brennic server";

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

// True when an open host already holds a line to take: the next poll can use it without
// waiting for the socket, which may have nothing more to say.
bool line_waiting() {
    for (int i = 0; i < host_count && i < kMaxHosts; ++i)
        if (link_usable(&hosts[i]) && (find_lf(&hosts[i]) != nullptr || line_to_cut(&hosts[i])))
            return true;
    return false;
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

int read_reply(brennic_host *host, brennic_result **out) {
    if (!link_usable(host)) {
        log_info("Is not open (%.*s)", kHostNameMax, host->name);
        mark_host_failed(host);
        return 0;
    }
    char line[kLineBufSize];
    for (;;) {
        if (find_lf(host) == nullptr && !line_to_cut(host)) {
            if (fill_inbuf(host) == 0) {
                log_info("Could not read more data\n");
                mark_host_failed(host);
                return 0;
            }
            // The partial line stays buffered, unless it is already too long.
            if (find_lf(host) == nullptr && !line_to_cut(host)) return 0;
        }
        if (!link_usable(host)) {
            log_info("Is not open here");
            mark_host_failed(host);
            return 0;
        }
        if (take_line(host, line) == 0) {
            log_info("Could not read a line");
            mark_host_failed(host);
            return 0;
        }

        char work[kReplyTextMax + 1];
        copy_bounded(work, line, kReplyTextMax);
        char short_copy[kShortLineMax + 1];
        copy_bounded(short_copy, line, kShortLineMax);

        brennic_result *r = find_by_id(reply_id(line));
        *out = r;
        if (r == nullptr) {
            log_error("Unknown response %.200s", short_copy);
            return 0;
        }
        // The reply text: after the first space, or empty when the line has none.
        char *space = std::strchr(work, ' ');
        char *text = space != nullptr ? space + 1 : work + std::strlen(work);
        if (r->on_line != nullptr) r->on_line(r->id, text);
        if (reply_is_intermediate(text)) continue;

        if (char *lf = std::strchr(text, '\n')) *lf = '\0';
        if (char *cr = std::strchr(text, '\r')) *cr = '\0';
        std::free(r->text);
        r->text = dup_text(text);
        r->ok = reply_is_success(text) ? 1 : 0;
        return 1;
    }
}

int poll_results(brennic_result **out) noexcept {
    brennic_result *r = nullptr;
    if (find_failed(&r) != 0) {
        // Taken out by identity: a newer record sharing the id stays pending.
        take_out(r);
        std::free(r->text);
        r->text = dup_text(kFailureText);
        ++current_host;
        if (current_host >= host_count) current_host = 0;
        log_info("Poll failed for some reason, next request to host %d",
                 static_cast<int>(current_host));
        *out = r;
        return 1;
    }
    for (int i = 0; i < host_count; ++i) {
        if (read_reply(&hosts[i], &r) == 1) {
            take_out(r);
            *out = r;
            return 1;
        }
    }
    log_info("brennic_poll, returning false");
    return 0;
}

namespace {
// Blocking waits left before spinning is tried again, after a spin that ran out.
int spin_pause = 0;
} // namespace

void reset_wait_spin() { spin_pause = 0; }

int wait_for_id(std::int32_t id) {
    // Polls that found nothing count against the limit only when a short and a long wait
    // after them passed with nothing to read, as if the wait had slept; a poll woken early
    // by bytes that did not finish a reply (a reply in many pieces, +DATA lines, unknown
    // replies) does not use up the limit in moments. The wait's length bounds it as well.
    int idle_polls = 0;
    const std::int64_t start_ms = seams.clock_ms();
    // The spin: polls without sleeping, up to a deadline. Not with a log callback, which
    // every empty poll would hand a line.
    std::int64_t spin_until = 0;
    if (seams.wait_spin_ns > 0 && !log_enabled()) {
        if (spin_pause > 0)
            --spin_pause;
        else
            spin_until = seams.clock_ns() + seams.wait_spin_ns;
    }
    log_info("Block for %d", static_cast<int>(id));
    for (;;) {
        log_info("block looping %d", static_cast<int>(id));
        brennic_result *r = nullptr;
        while (poll_results(&r) == 0) {
            const std::int64_t waited_ms = seams.clock_ms() - start_ms;
            if (idle_polls >= kWaitPollLimit || waited_ms > kWaitLimitMs ||
                (request_timeout_ms > 0 && waited_ms >= request_timeout_ms)) {
                log_info("Timedout while waiting for id %d\n", static_cast<int>(id));
                return 0;
            }
            // A result flagged during that poll, or a line left in a buffer after an
            // unknown reply, is collected by the next poll at once; otherwise poll again as
            // soon as a link has something to read.
            brennic_result *flagged = nullptr;
            if (find_failed(&flagged) != 0 || line_waiting()) continue;
            if (spin_until != 0) {
                if (seams.clock_ns() < spin_until) continue;
                spin_until = 0; // ran out: the reply is farther away than a spin
                spin_pause = kWaitSpinPause;
            }
            // Under a deadline, neither idle wait runs past it.
            const int left_ms = request_timeout_ms > 0
                                    ? static_cast<int>(request_timeout_ms - waited_ms)
                                    : kWaitLongMs;
            if (seams.idle_wait(left_ms < kWaitShortMs ? left_ms : kWaitShortMs) == 0 &&
                seams.idle_wait(left_ms < kWaitLongMs ? left_ms : kWaitLongMs) == 0)
                ++idle_polls;
        }
        if (r->id == id) {
            log_info("Got RESPONSE for id %d", static_cast<int>(id));
            return 1;
        }
        log_error("Ignoring response id %d %d\n", static_cast<int>(id), static_cast<int>(r->id));
    }
}

} // namespace brennic
