// A set of sockets watched in one direction, as a readiness wait sees it: at most 64 sockets,
// each once. Several groups are waited on together with one poll().
#pragma once

#include <array>

#include "net/platform.h"
#include "net/wait.h"

namespace brennic {

class socket_group {
  public:
    // Adds sock unless the group is full or holds it already.
    void add(int sock) {
        if (count_ == kMaxWaitSockets || holds(sock)) return;
        socks_[count_++] = sock;
    }
    bool holds(int sock) const {
        for (int i = 0; i < count_; ++i)
            if (socks_[i] == sock) return true;
        return false;
    }
    int count() const { return count_; }
    int at(int i) const { return socks_[i]; }
    void clear() { count_ = 0; }

  private:
    std::array<int, kMaxWaitSockets> socks_{};
    int count_ = 0;
};

// Waits on up to three groups at once (any may be null). On return each group holds only its
// ready sockets. Returns the number of ready memberships, 0 on time-out, -1 when the wait
// failed (the platform call failed or a socket was not valid).
int wait_groups(socket_group *read, socket_group *write, socket_group *except, int ms);

} // namespace brennic
