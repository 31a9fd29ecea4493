#include <cstdint>

#include "base/diag.h"
#include "net/extra/socket_group.h"
#include "net/extra/utilities.h"

namespace brennic {
namespace {

constexpr int kEventWaitMs = 100;   // the wait of one pass
constexpr int kPreWaitSleepMs = 10; // bounds a busy loop to about one pass per 10 ms
constexpr int kIdleSleepSeconds = 1;

std::int32_t next_wait_ms = 0;

// Every socket that is not -1 waited on alone; one that makes the wait fail is reported.
void report_bad_sockets(event_socket *list, int limit_ms) {
    for (event_socket *entry = list; entry != nullptr; entry = entry->next_entry) {
        if (entry->fd == kNoSocket) continue;
        socket_group read;
        socket_group write;
        read.add(entry->fd);
        if (entry->want_write) write.add(entry->fd);
        if (wait_groups(&read, &write, nullptr, limit_ms) < 0)
            log_error("Bad socket found %d\n", static_cast<int>(entry->fd));
    }
}

} // namespace

int before_wait_hook(int) { return 0; }
int after_wait_hook(int) { return 0; }
void idle_hook() {}
void loop_end_hook() {}

int set_next_wait(int ms) {
    if (ms > 0) next_wait_ms = ms;
    return 1;
}

int run_event_pass(event_socket *list) {
    int limit_ms = kEventWaitMs;
    if (next_wait_ms > 0) {
        limit_ms = next_wait_ms;
        next_wait_ms = 0;
    }

    socket_group read;
    socket_group write;
    socket_group except;
    int counted = 0;
    for (event_socket *entry = list; entry != nullptr; entry = entry->next_entry) {
        if (entry->fd == kNoSocket) continue;
        if (entry->want_write) write.add(entry->fd);
        read.add(entry->fd);
        except.add(entry->fd);
        ++counted;
    }

    if (counted == 0) {
        before_wait_hook(0);
        sleep_seconds(kIdleSleepSeconds);
        after_wait_hook(0);
        idle_hook();
        loop_end_hook();
        return 0;
    }

    before_wait_hook(0);
    sleep_ms(kPreWaitSleepMs);
    const int ready = wait_groups(&read, &write, &except, limit_ms);
    after_wait_hook(0);

    if (ready < 0) {
        log_error("Select call failed, should check for bad socket\n");
        report_bad_sockets(list, limit_ms);
        fatal_exit();
    }
    if (ready == 0) {
        idle_hook();
    } else {
        event_socket *entry = list;
        while (entry != nullptr) {
            event_socket *const next = entry->next_entry; // the callbacks may release entry
            if (entry->fd != kNoSocket) {
                const bool may_write = entry->want_write && write.holds(entry->fd);
                if ((read.holds(entry->fd) || except.holds(entry->fd)) && entry->on_read)
                    entry->on_read(entry, entry->context);
                // Looked at again only when it may get on_write: see the rule in utilities.h.
                if (may_write && entry->fd != kNoSocket && entry->want_write &&
                    write.holds(entry->fd) && entry->on_write)
                    entry->on_write(entry, entry->context);
            }
            entry = next;
        }
    }
    loop_end_hook();
    return 0;
}

int select_sockets(const int *sockets, int count, int *ready, int ms) {
    socket_group read;
    for (int i = 0; i < count; ++i) {
        ready[i] = 0;
        if (sockets[i] != kNoSocket) read.add(sockets[i]);
    }
    const int result = wait_groups(&read, nullptr, nullptr, ms);
    if (result < 0) {
        log_error("select call failed fatal error\n");
        sleep_seconds(1);
        return 0;
    }
    if (result == 0) return 0;
    for (int i = 0; i < count; ++i)
        if (sockets[i] != kNoSocket && read.holds(sockets[i])) ready[i] = 1;
    return 1;
}

} // namespace brennic
