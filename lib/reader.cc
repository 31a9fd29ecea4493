// Matching replies: complete lines are taken from a host's buffer (lib/receive.cc) and
// matched to pending results by id; poll collects one finished result per call.
//
// A reply text handed on ends at its first zero byte.
#include <cstdlib>

#include "base/diag.h"
#include "base/text.h"
#include "lib/protocol.h"
#include "lib/state.h"
#include "net/tcp.h"

namespace brennic {
namespace {

constexpr const char *kFailureText = "-ERR brenniclib failed while talking to brennic server";

// Where the line at the front of host's buffer began in the host's received stream.
std::int64_t front_line_start(const brennic_host *host) { return host->received - host->inlen; }

// Takes the front line off host's buffer and drops it as a reply nobody asked for. 0 when
// no line could be cut.
int drop_front_line(brennic_host *host, char *line) {
    if (take_line(host, line) == 0) return 0;
    char short_copy[kShortLineMax + 1];
    copy_bounded(short_copy, line, kShortLineMax);
    log_error("Unknown response %.200s", short_copy);
    return 1;
}

} // namespace

int settle_before_send(brennic_host *host, brennic_result *result) {
    // The request is not out yet, so no line already received is its reply.
    note_not_sent(result);
    char line[kLineBufSize];
    const std::int64_t received_before = host->received;
    for (;;) {
        // A line some pending request may take stays, with everything behind it, for poll.
        while (line_ready(host) &&
               find_reply_to(host, reply_id(host->inbuf), front_line_start(host)) == nullptr) {
            if (drop_front_line(host, line) == 0) break;
        }
        // Without a socket there is nothing to take in; the write finds it gone.
        if (line_ready(host) || host->sock == kNoSocket ||
            host->received - received_before >= kSettleBytesMax)
            break;
        const std::int64_t before = host->received;
        if (fill_inbuf(host) == 0) return 0; // lost: the host is marked failed
        if (host->received == before) break; // the socket holds nothing more
    }
    note_sent_at(result, host->received);
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
        if (!line_ready(host)) {
            if (fill_inbuf(host) == 0) {
                log_info("Could not read more data\n");
                mark_host_failed(host);
                return 0;
            }
            // The partial line stays buffered, unless it is already too long.
            if (!line_ready(host)) return 0;
        }
        if (!link_usable(host)) {
            log_info("Is not open here");
            mark_host_failed(host);
            return 0;
        }
        const std::int64_t line_start = front_line_start(host);
        if (take_line(host, line) == 0) {
            log_info("Could not read a line");
            mark_host_failed(host);
            return 0;
        }

        char work[kReplyTextMax + 1];
        copy_bounded(work, line, kReplyTextMax);
        char short_copy[kShortLineMax + 1];
        copy_bounded(short_copy, line, kShortLineMax);

        // Only a request sent to this host, before the line began, takes it.
        brennic_result *r = find_reply_to(host, reply_id(line), line_start);
        *out = r;
        if (r == nullptr) {
            log_error("Unknown response %.200s", short_copy);
            return 0;
        }
        char *text = reply_text(work);
        if (r->on_line != nullptr) {
            set_callback_record(r);
            r->on_line(r->id, text);
            set_callback_record(nullptr);
        }
        if (reply_is_intermediate(text)) continue;

        cut_at_line_end(text);
        std::free(r->text);
        r->text = dup_text(text);
        r->ok = reply_is_success(text) ? 1 : 0;
        return 1;
    }
}

int poll_results(brennic_result **out) noexcept {
    // Results a blocking wait collected for other ids come back first, in arrival order.
    brennic_result *held = take_held();
    if (held != nullptr) {
        *out = held;
        return 1;
    }
    return collect_result(out);
}

int collect_result(brennic_result **out) noexcept {
    brennic_result *r = nullptr;
    if (find_failed(&r) != 0) {
        // Taken out by identity: a newer record sharing the id stays pending.
        take_out(r);
        std::free(r->text);
        r->text = dup_text(kFailureText);
        // One lost link with many requests on it moves the current host on once, not once
        // for each of them (which would send some of their resends back to that link).
        if (first_of_its_failure(r)) next_host_after_failure();
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

} // namespace brennic
