#include "base/diag.h"
#include "net/extra/utilities.h"
#include "net/platform.h"
#include "net/server_calls.h"

namespace brennic {
namespace {

constexpr int kListenBacklog = 200;

} // namespace

int open_listener(int port) {
    const int sock = make_socket(AF_INET, SOCK_STREAM, 0);
    record_sock_error();
    log_info("Socket listen on socket id %d port %d\n", sock, port);
    if (sock == kNoSocket) return kNoSocket;

    hold_port(sock);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    sys.set_error(0);
    if (sys.bind(sock, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        record_sock_error();
        close_socket(sock);
        return kNoSocket;
    }
    sys.set_error(0);
    if (sys.listen(sock, kListenBacklog) != 0) {
        record_sock_error();
        close_socket(sock);
        return kNoSocket;
    }
    return sock;
}

int accept_client(int listening) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int sock = sys.accept(listening, reinterpret_cast<sockaddr *>(&peer), &length);
    return sock < 0 ? kNoSocket : sock;
}

} // namespace brennic
