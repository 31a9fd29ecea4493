// Request dispatch and host failover. The whole failover rule lives in this file:
//
// - A request goes to the current host (send_cmd).
// - When that send fails, every configured host is tried in table order, from the first,
//   and the first that takes the line becomes the current host; when none does, the first
//   host is current again and the record comes back failed at the next poll.
// - Under a deadline (brennic_set_timeout), no further host is tried once it has passed: a
//   blocking request then gives up in its wait; any other comes back failed.
// - A result that comes back failed moves the current host on by one, wrapping at the end
//   of the table (next_host_after_failure, called by poll).
// - A blocking request whose host is not open once it was answered or given up is sent once
//   more, with a fresh record, unless it was sent again already or has handed its caller
//   lines (send_again, asked by the request operations).
#include <cstdlib>

#include "base/diag.h"
#include "lib/protocol.h"
#include "lib/state.h"
#include "net/socket_errors.h"
#include "net/tcp.h"

namespace brennic {

int send_cmd_host(brennic_host *host, std::int32_t id, const char *request,
                  brennic_result *result) {
    if (!link_usable(host)) {
        log_info("send_cmd_host, not currently open (%.*s)\n", kHostNameMax, host->name);
        // A host marked open without its generators cannot carry a line: end that link.
        end_link(host);
        if (open_link(host) == 0) {
            log_info("send_cmd_host, open failed to (%.*s)\n", kHostNameMax, host->name);
            return 0;
        }
    }

    // Stray lines already received go first; a line begun before this request never
    // completes it.
    if (settle_before_send(host, result) == 0) return 0;

    char line[kLineBufSize];
    const int length = format_request_line(line, sizeof line, id, request);
    log_info("Sending to host === (%.100s)", line);

    // In a batch the link holds the line until the batch ends, so lines sent together leave
    // together.
    if (batching != 0 && host->corked == 0) {
        set_corked(host->sock, 1);
        host->corked = 1;
    }
    keystream_sub(host->tx.get(), reinterpret_cast<unsigned char *>(line), length);
    const int sent = send_line(host->sock, line, length, within_deadline(hooks.send_wait_ms),
                               hooks.send_wait_ms);
    record_sock_error();
    // The error text is formatted for every send; only when someone reads it.
    if (log_enabled())
        log_info("socket_write len=(%d) r=(%d) lasterror=(%s)", length, sent, sock_error_text());
    log_info("Result %p, next %p rlist=%p\n", static_cast<void *>(result),
             static_cast<void *>(result->next), static_cast<void *>(rlist));
    if (sent >= length) return 1;

    log_info("Write failed %s.  ", sock_error_text());
    mark_host_failed(host);
    log_info("AfterResult %p, next %p rlist=%p\n", static_cast<void *>(result),
             static_cast<void *>(result->next), static_cast<void *>(rlist));
    return 0;
}

void set_batching(int on) {
    batching = on != 0 ? 1 : 0;
    if (batching != 0) return;
    for (brennic_host &host : hosts) {
        if (host.corked == 0) continue;
        if (host.sock != kNoSocket) set_corked(host.sock, 0);
        host.corked = 0;
    }
}

void send_cmd(std::int32_t id, const char *user, const char *request, brennic_result *result) {
    std::free(result->user);
    result->user = dup_text(user);
    result->sent = 1;
    result->ok = 0;
    result->id = id;
    link_pending(result);

    // With no host configured nothing can be sent: the record comes back failed at the
    // next poll without any wait.
    if (host_count <= 0) {
        log_info("send_cmd, no host configured, user (%.100s)\n", user);
        result->host = nullptr;
        flag_failed(result);
        current_host = 0;
        return;
    }
    if (current_host < 0 || current_host >= host_count) current_host = 0;

    brennic_host *host = &hosts[current_host];
    log_info("Send request to host %d %.*s, user (%.100s)\n", static_cast<int>(current_host),
             kHostNameMax, host->name, user);
    result->host = host;
    if (send_cmd_host(host, id, request, result) != 0) {
        result->failed = 0;
        return;
    }

    log_info("send_cmd failed, trying other hosts NOW\n");
    for (current_host = 0; current_host < host_count; ++current_host) {
        if (deadline_passed()) {
            log_info("send_cmd, no time left for host %d\n", static_cast<int>(current_host));
            current_host = 0;
            // A blocking request gives up in its wait, as one whose reply never came.
            if (id >= 0) flag_failed(result);
            return;
        }
        host = &hosts[current_host];
        result->host = host;
        if (send_cmd_host(host, id, request, result) != 0) {
            // The failed attempt flagged the record; this delivery stands.
            result->failed = 0;
            return;
        }
    }
    current_host = 0;
    // No host took the request: it comes back failed at the next poll. Waiting for a poll to
    // find its host not open is not enough: a second init may drop that host from the table,
    // and a later request may open its link again, a link that never carried this request.
    flag_failed(result);
}

void next_host_after_failure() {
    ++current_host;
    if (current_host >= host_count) current_host = 0;
}

bool send_again(const brennic_result *result, bool resent, bool lines_handed) {
    if (result->host != nullptr && result->host->open != 0) return false;
    return !resent && !lines_handed;
}

} // namespace brennic
