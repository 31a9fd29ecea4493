// The library's globals, and the reset that takes them back to a fresh process's state.
#include "lib/state.h"

namespace brennic {

brennic_host hosts[kMaxHosts];
std::int32_t host_count = 0;
std::int32_t current_host = 0;
char secret_path[kSecretPathMax + 1];
std::int32_t request_timeout_ms = 0;

void reset_library() {
    for (brennic_host &h : hosts) {
        end_link(&h);
        h.name[0] = '\0';
        h.inlen = 0;
        h.scanned = 0;
        h.discarding = 0;
        h.last_try = 0;
        h.setup_failed = 0;
        h.received = 0;
        h.rx.reset();
        h.tx.reset();
    }
    host_count = 0;
    current_host = 0;
    reset_pending();
    secret_path[0] = '\0';
    request_timeout_ms = 0;
    reset_hooks();
    reset_wait_spin();
}

} // namespace brennic
