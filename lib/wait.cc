// The blocking wait: polls until its id comes back, sleeping on the open links between
// empty polls, and spinning first when the previous spin caught its reply.
#include "base/diag.h"
#include "lib/state.h"
#include "net/tcp.h"

namespace brennic {

int wait_open_links(int ms) {
    int socks[kMaxHosts];
    int count = 0;
    for (int i = 0; i < host_count && i < kMaxHosts; ++i)
        if (link_usable(&hosts[i]) && hosts[i].sock != kNoSocket) socks[count++] = hosts[i].sock;
    return wait_any_readable(socks, count, ms);
}

namespace {

// Blocking waits left before spinning is tried again, after a spin that ran out.
int spin_pause = 0;

int idle_wait(int ms) {
    return hooks.idle_wait != nullptr ? hooks.idle_wait(ms) : wait_open_links(ms);
}

} // namespace

void reset_wait_spin() { spin_pause = 0; }

int wait_for_id(std::int32_t id) {
    // Polls that found nothing count against the limit only when a short and a long wait
    // after them passed with nothing to read, as if the wait had slept; a poll woken early
    // by bytes that did not finish a reply (a reply in many pieces, +DATA lines, unknown
    // replies) does not use up the limit in moments. The wait's length bounds it as well.
    int idle_polls = 0;
    const std::int64_t start_ms = hooks.clock_ms();
    // The deadline runs from the start of the request; a wait outside one starts its own.
    const bool own_deadline = deadline_ms == 0;
    if (own_deadline) start_deadline();
    // The spin: polls without sleeping, up to a deadline. Not with a log callback, which
    // every empty poll would hand a line.
    std::int64_t spin_until = 0;
    if (hooks.wait_spin_ns > 0 && !log_enabled()) {
        if (spin_pause > 0)
            --spin_pause;
        else
            spin_until = hooks.clock_ns() + hooks.wait_spin_ns;
    }
    log_info("Block for %d", static_cast<int>(id));
    for (;;) {
        log_info("block looping %d", static_cast<int>(id));
        brennic_result *r = nullptr;
        while (collect_result(&r) == 0) {
            const std::int64_t waited_ms = hooks.clock_ms() - start_ms;
            if (idle_polls >= kWaitPollLimit || waited_ms > kWaitLimitMs || deadline_passed()) {
                log_info("Timedout while waiting for id %d\n", static_cast<int>(id));
                if (own_deadline) end_deadline();
                return 0;
            }
            // A result flagged during that poll, or a line left in a buffer after an
            // unknown reply, is collected by the next poll at once; otherwise poll again as
            // soon as a link has something to read.
            brennic_result *flagged = nullptr;
            if (find_failed(&flagged) != 0 || line_waiting()) continue;
            if (spin_until != 0) {
                if (hooks.clock_ns() < spin_until) continue;
                spin_until = 0; // ran out: the reply is farther away than a spin
                spin_pause = kWaitSpinPause;
            }
            // Under a deadline, neither idle wait runs past it.
            const int left_ms = within_deadline(kWaitLongMs);
            if (idle_wait(left_ms < kWaitShortMs ? left_ms : kWaitShortMs) == 0 &&
                idle_wait(left_ms < kWaitLongMs ? left_ms : kWaitLongMs) == 0)
                ++idle_polls;
        }
        if (r->id == id) {
            log_info("Got RESPONSE for id %d", static_cast<int>(id));
            if (own_deadline) end_deadline();
            return 1;
        }
        log_error("Ignoring response id %d %d\n", static_cast<int>(id), static_cast<int>(r->id));
        // Not this wait's, but finished: its owner collects it with the next poll.
        hold_result(r);
    }
}

} // namespace brennic
