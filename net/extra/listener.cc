#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>

#include "base/diag.h"
#include "net/extra/utilities.h"
#include "net/platform.h"

namespace brennic {
namespace {

constexpr int kListenBacklog = 200;

} // namespace

int open_listener(int port) {
    const int sock = make_socket(AF_INET, SOCK_STREAM, 0);
    record_sock_error();
    log_info("Socket listen on socket id %d port %d\n", sock, port);
    if (sock == kNoSocket) return kNoSocket;

    const int on = 1;
    sys.setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    errno = 0;
    if (sys.bind(sock, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        record_sock_error();
        close_socket(sock);
        return kNoSocket;
    }
    errno = 0;
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
