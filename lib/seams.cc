// The library's globals and the seams through which tests replace the clock, the idle wait,
// the handshake and send time limits and memory allocation.
#include <cstdlib>
#include <ctime>

#include "lib/state.h"
#include "net/tcp.h"

namespace brennic {

brennic_host hosts[kMaxHosts];
std::int32_t host_count = 0;
std::int32_t current_host = 0;
brennic_result *rlist = nullptr;
char secret_path[kSecretPathMax + 1];
std::int32_t request_timeout_ms = 0;

namespace {

std::int64_t real_now() { return static_cast<std::int64_t>(std::time(nullptr)); }

// clock_gettime rather than std::chrono's steady clock, whose now() lives in the C++ runtime
// library that the library and the console otherwise do without (start-up time).
std::int64_t real_clock_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::int64_t real_clock_ms() { return real_clock_ns() / 1000000; }

void *real_alloc_zeroed(std::size_t size) { return std::calloc(1, size); }

constexpr library_seams kDefaultSeams{real_now,         real_clock_ms, wait_open_links,
                                      kHandshakeWaitMs, kSendWaitMs,   real_alloc_zeroed,
                                      real_clock_ns,    kWaitSpinNs};

} // namespace

library_seams seams = kDefaultSeams;

void reset_seams() { seams = kDefaultSeams; }

int wait_open_links(int ms) {
    int socks[kMaxHosts];
    int count = 0;
    for (int i = 0; i < host_count && i < kMaxHosts; ++i)
        if (link_usable(&hosts[i]) && hosts[i].sock != kNoSocket) socks[count++] = hosts[i].sock;
    return wait_any_readable(socks, count, ms);
}

void reset_library() {
    for (brennic_host &h : hosts) {
        close_socket(h.sock);
        h.sock = kNoSocket;
        h.name[0] = '\0';
        h.inlen = 0;
        h.scanned = 0;
        h.discarding = 0;
        h.open = 0;
        h.last_try = 0;
        h.setup_failed = 0;
        h.rx.reset();
        h.tx.reset();
    }
    host_count = 0;
    current_host = 0;
    rlist = nullptr;
    drop_pending_index();
    secret_path[0] = '\0';
    request_timeout_ms = 0;
    reset_seams();
    reset_wait_spin();
}

} // namespace brennic
