// The library's globals, and the reset that takes them back to a fresh process's state.
#include "lib/state.h"

namespace brennic {

brennic_host hosts[kMaxHosts];
std::int32_t host_count = 0;
std::int32_t current_host = 0;
char secret_path[kSecretPathMax + 1];
std::int32_t request_timeout_ms = 0;
std::int32_t batching = 0;
std::int64_t deadline_ms = 0;

void start_deadline() {
    deadline_ms = request_timeout_ms > 0 ? hooks.clock_ms() + request_timeout_ms : 0;
}

int within_deadline(int limit_ms) {
    if (deadline_ms == 0) return limit_ms;
    const std::int64_t left = deadline_ms - hooks.clock_ms();
    return left <= 0 ? 0 : left < limit_ms ? static_cast<int>(left) : limit_ms;
}

bool deadline_passed() { return deadline_ms != 0 && hooks.clock_ms() >= deadline_ms; }

void reset_library() {
    for (brennic_host &h : hosts) {
        end_link(&h);
        h.name[0] = '\0';
        h.inlen = 0;
        h.scanned = 0;
        h.discarding = 0;
        h.last_try = 0;
        h.setup_failed = 0;
        h.corked = 0;
        h.received = 0;
        h.failed_at = 0;
        h.rx.reset();
        h.tx.reset();
    }
    host_count = 0;
    current_host = 0;
    reset_pending();
    secret_path[0] = '\0';
    request_timeout_ms = 0;
    batching = 0;
    deadline_ms = 0;
    reset_hooks();
    reset_wait_spin();
}

} // namespace brennic
