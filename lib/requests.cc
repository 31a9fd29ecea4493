// The request operations: each builds its request text, hands it to dispatch, waits when
// the id is negative, and sends once more with a fresh record when the failover rule says so
// (send_again, lib/dispatch.cc).
#include <cstring>

#include "base/diag.h"
#include "lib/protocol.h"
#include "lib/state.h"
#include "net/tcp.h"

namespace brennic {
namespace {

constexpr const char *kSearchUser = "search";

// The line callback of the blocking request being waited for, and whether it has handed its
// caller a line yet. A request that has is not sent again when its link fails: the second
// server would hand the same lines over a second time, with nothing to mark the break.
brennic_line_fn waited_on_line = nullptr;
bool waited_line_seen = false;

int note_waited_line(int id, const char *line) {
    waited_line_seen = true;
    return waited_on_line != nullptr ? waited_on_line(id, line) : 0;
}

// A reply that arrives after the wait gave up would answer the next request of the same id,
// and blocking requests share their ids (most use -1): another command's "+OK" would be taken
// for this one's. So the record leaves the list, and its link is ended with every request
// pending on it, which come back failed. The request is not sent again: it has already waited
// for as long as a request waits.
void give_up(brennic_result *r) {
    take_out_quietly(r);
    brennic_host *host = r->host;
    if (host == nullptr || (host->open == 0 && host->sock == kNoSocket)) return;
    log_error("No reply in time from host %.*s: its link is ended", kHostNameMax, host->name);
    mark_host_failed(host);
}

// Whether a user name or password would go out whole; a null one is not sent as itself.
bool field_fits(const char *field) {
    return field == nullptr || strnlen(field, kUserMax + 1) <= static_cast<std::size_t>(kUserMax);
}

// Runs the common steps. build writes the request text into the given buffer; password is
// null for the operations that send none.
// The deadline of one request, when one is set: from its start to its end, through setup,
// sending, failover, the wait and a second sending.
struct request_deadline {
    request_deadline() { start_deadline(); }
    ~request_deadline() { end_deadline(); }
    request_deadline(const request_deadline &) = delete;
    request_deadline &operator=(const request_deadline &) = delete;
};

template <std::size_t kBufSize, typename Build>
int run_request(std::int32_t id, const char *user, const char *password, brennic_line_fn on_line,
                Build build, brennic_result **out) {
    const request_deadline deadline;
    bool retried = false;
    for (;;) {
        brennic_result *r = new_result();
        *out = r;
        if (r == nullptr) return 0;

        char request[kBufSize];
        build(request, sizeof request);
        // A line end inside a field would end the request line there and make the rest a
        // request of its own, with an id and command of the caller's data: refused, and the
        // caller keeps a zero-filled record that was never sent.
        if (std::strpbrk(request, "\r\n") != nullptr) {
            log_error("Request refused: a line end inside a field");
            return 0;
        }
        // The request fields keep 100 characters each: a user name or password cut there
        // would name another user, or let another password with the same start pass.
        if (!field_fits(user) || !field_fits(password)) {
            log_error("Request refused: user name or password longer than %d characters", kUserMax);
            return 0;
        }
        send_cmd(id, user, request, r);
        // Replies are read only inside poll, so no line can be missed here.
        if (on_line != nullptr) r->on_line = on_line;
        waited_line_seen = false;
        if (id < 0) {
            if (on_line != nullptr) {
                waited_on_line = on_line;
                r->on_line = note_waited_line;
            }
            const int answered = wait_for_id(id);
            r->on_line = on_line;
            waited_on_line = nullptr;
            if (answered == 0) {
                give_up(r);
                return 1;
            }
        }

        if (!send_again(r, retried, waited_line_seen) || deadline_passed()) return 1;
        log_info("free result, retry...");
        free_result(out);
        retried = true;
    }
}

// Set and mod refuse an attribute text that would not fit the request text buffer: the
// caller still gets a zero-filled record that was never sent.
template <typename Format>
int run_change(std::int32_t id, const char *user, const char *password, const char *attributes,
               Format format, brennic_result **out) {
    if (std::strlen(attributes) > static_cast<std::size_t>(kAttrMax)) {
        *out = new_result();
        return 0;
    }
    return run_request<kLongRequestBuf>(
        id, user, password, nullptr,
        [&](char *buf, std::size_t cap) { format(buf, cap, user, password, attributes); }, out);
}

} // namespace

int request_check(std::int32_t id, const char *user, const char *password,
                  brennic_result **out) noexcept {
    return run_request<kShortRequestBuf>(
        id, user, password, nullptr,
        [&](char *buf, std::size_t cap) { format_check(buf, cap, user, password); }, out);
}

int request_lookup(std::int32_t id, const char *user, brennic_result **out) noexcept {
    return run_request<kShortRequestBuf>(
        id, user, nullptr, nullptr,
        [&](char *buf, std::size_t cap) { format_lookup(buf, cap, user); }, out);
}

int request_set(std::int32_t id, const char *user, const char *password, const char *attributes,
                brennic_result **out) noexcept {
    return run_change(id, user, password, attributes, format_set, out);
}

int request_mod(std::int32_t id, const char *user, const char *password, const char *attributes,
                brennic_result **out) noexcept {
    return run_change(id, user, password, attributes, format_mod, out);
}

int request_del(std::int32_t id, const char *user, brennic_result **out) noexcept {
    return run_request<kShortRequestBuf>(
        id, user, nullptr, nullptr, [&](char *buf, std::size_t cap) { format_del(buf, cap, user); },
        out);
}

int request_search(std::int32_t id, const char *text, brennic_line_fn on_line,
                   brennic_result **out) noexcept {
    return run_request<kShortRequestBuf>(
        id, kSearchUser, nullptr, on_line,
        [&](char *buf, std::size_t cap) { format_search(buf, cap, text); }, out);
}

} // namespace brennic
