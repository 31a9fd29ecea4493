#include "net/extra/socket_group.h"

namespace brennic {
namespace {

constexpr int kMaxPollEntries = 3 * kMaxWaitSockets;
constexpr std::int32_t kSockNotSocket = 10038; // WSAENOTSOCK

struct poll_list {
    std::array<poll_entry, kMaxPollEntries> entries{};
    poll_count used = 0;

    void watch(const socket_group *group, short events) {
        if (group == nullptr) return;
        for (int i = 0; i < group->count(); ++i) {
            const int sock = group->at(i);
            poll_count j = 0;
            while (j < used && entries[j].fd != sock)
                ++j;
            if (j == used) entries[used++] = poll_entry{sock, 0, 0};
            entries[j].events = static_cast<short>(entries[j].events | events);
        }
    }

    short result(int sock) const {
        for (poll_count j = 0; j < used; ++j)
            if (entries[j].fd == sock) return entries[j].revents;
        return 0;
    }
};

// Keeps only the sockets of group that showed one of the events; returns how many.
int keep_ready(socket_group *group, const poll_list &list, short events) {
    if (group == nullptr) return 0;
    socket_group ready;
    for (int i = 0; i < group->count(); ++i)
        if (list.result(group->at(i)) & events) ready.add(group->at(i));
    *group = ready;
    return ready.count();
}

} // namespace

int wait_groups(socket_group *read, socket_group *write, socket_group *except, int ms) {
    poll_list list;
    list.watch(read, POLLIN);
    list.watch(write, POLLOUT);
    list.watch(except, POLLPRI);
    sys.set_error(0);
    const int ready =
        sys.poll(list.used ? list.entries.data() : nullptr, list.used, poll_limit(ms));
    if (ready < 0) return -1;
    // A socket that is not open makes the whole wait fail, as a select() over it would.
    for (poll_count j = 0; j < list.used; ++j)
        if (list.entries[j].revents & POLLNVAL) {
            sys.set_error(kSockNotSocket);
            return -1;
        }
    if (ready == 0) {
        keep_ready(read, list, 0);
        keep_ready(write, list, 0);
        keep_ready(except, list, 0);
        return 0;
    }
    return keep_ready(read, list, kReadableEvents) + keep_ready(write, list, kWritableEvents) +
           keep_ready(except, list, kExceptionEvents);
}

} // namespace brennic
