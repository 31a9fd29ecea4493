#include "tests/unit/net/probes.h"

#include <sys/socket.h>
#include <unistd.h>

namespace brennic::testing {

bool holds_port_option(int sock) {
    int on = 0;
    socklen_t length = sizeof on;
    return ::getsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, &length) == 0 && on != 0;
}

bool make_link(const char *target, const char *path) { return ::symlink(target, path) == 0; }

bool death_test_shares_sockets() { return true; }

} // namespace brennic::testing
