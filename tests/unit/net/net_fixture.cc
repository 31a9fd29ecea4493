#include "tests/unit/net/net_fixture.h"

#include "base/diag.h"
#include "net/tcp.h"
#include "tests/support/loopback_pair.h"

namespace brennic::testing {

std::vector<logged_line> &logged = test::log_lines();

void NetTest::SetUp() {
    test::start_sockets();
    logged.clear();
    set_log_callback(test::capture_log);
    reset_socket_calls();
}

void NetTest::TearDown() {
    reset_socket_calls();
    set_log_callback(nullptr);
}

loopback_listener::loopback_listener() {
    fd = test::listen_loopback(AF_INET, 16);
    port = bound_port(fd);
}

loopback_listener::~loopback_listener() { test::real_calls().close(fd); }

int loopback_listener::accept_one() const {
    return test::real_calls().accept(fd, nullptr, nullptr);
}

loopback_pair::loopback_pair() {
    int fds[2];
    if (!test::loopback_pair(fds)) ADD_FAILURE() << "no TCP pair on 127.0.0.1";
    client = fds[0];
    server = fds[1];
}

loopback_pair::~loopback_pair() {
    if (client >= 0) test::real_calls().close(client);
    if (server >= 0) test::real_calls().close(server);
}

int unused_port() {
    loopback_listener listener;
    return listener.port;
}

} // namespace brennic::testing
