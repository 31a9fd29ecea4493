// Matching replies: complete lines are taken from a host's buffer (lib/receive.cc) and
// matched to pending results by id; poll collects one finished result per call.
//
// A reply text handed on ends at its first zero byte.
#include <cstdlib>

#include "base/diag.h"
#include "base/text.h"
#include "lib/protocol.h"
#include "lib/state.h"

namespace brennic {
namespace {

constexpr const char *kFailureText = "-ERR brenniclib failed while talking to brennic server";

} // namespace

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
        char *text = reply_text(work);
        if (r->on_line != nullptr) r->on_line(r->id, text);
        if (reply_is_intermediate(text)) continue;

        cut_at_line_end(text);
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
        next_host_after_failure();
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
