#include "tests/unit/net/net_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/diag.h"

namespace brennic::testing {

std::vector<logged_line> &logged = test::log_lines();

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

void NetTest::SetUp() {
    logged.clear();
    set_log_callback(test::capture_log);
    reset_socket_calls();
}

void NetTest::TearDown() {
    reset_socket_calls();
    set_log_callback(nullptr);
}

loopback_listener::loopback_listener() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::listen(fd, 16);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    port = ntohs(address.sin_port);
}

loopback_listener::~loopback_listener() { ::close(fd); }

int loopback_listener::accept_one() const { return ::accept(fd, nullptr, nullptr); }

loopback_pair::loopback_pair() {
    loopback_listener listener;
    client = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(listener.port);
    ::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address);
    server = listener.accept_one();
}

loopback_pair::~loopback_pair() {
    if (client >= 0) ::close(client);
    if (server >= 0) ::close(server);
}

int unused_port() {
    loopback_listener listener;
    return listener.port;
}

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

} // namespace brennic::testing
