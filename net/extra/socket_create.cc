#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>

#include "base/diag.h"
#include "net/address.h"
#include "net/extra/utilities.h"
#include "net/platform.h"
#include "net/socket_errors.h"

namespace brennic {
namespace {

bool is_empty(const char *text) { return text == nullptr || text[0] == '\0'; }

const sockaddr *as_sockaddr(const sockaddr_in *record) {
    return reinterpret_cast<const sockaddr *>(record);
}

} // namespace

int socket_create(int family, int type, const char *local_name, int local_port,
                  const char *remote_name, int remote_port) {
    errno = 0;
    const int sock = sys.socket(family, type | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        record_sock_error();
        log_error("create: socket() failed %s\n", sock_error_text());
        return kNoSocket;
    }

    sockaddr_in local{};
    local.sin_family = static_cast<sa_family_t>(family);
    local.sin_port = htons(static_cast<std::uint16_t>(local_port & 0xFFFF));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!is_empty(local_name)) {
        if (!getaddr(local_name, &local)) {
            log_error("getaddr failed for (%s)\n", local_name);
            close_socket(sock);
            return kNoSocket;
        }
        local.sin_family = static_cast<sa_family_t>(family);
    }

    const int on = 1;
    sys.setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

    errno = 0;
    if (sys.bind(sock, as_sockaddr(&local), sizeof local) != 0) {
        record_sock_error();
        log_error("create: bind() failed %s\n", sock_error_text());
        close_socket(sock);
        return kNoSocket;
    }
    if (is_empty(remote_name)) return sock;

    sockaddr_in remote{};
    remote.sin_port = htons(static_cast<std::uint16_t>(remote_port & 0xFFFF));
    if (!getaddr(remote_name, &remote)) {
        log_error("getaddr failed for (%s)\n", remote_name);
        close_socket(sock);
        return kNoSocket;
    }
    remote.sin_family = static_cast<sa_family_t>(family);

    errno = 0;
    if (sys.connect(sock, as_sockaddr(&remote), sizeof remote) != 0) {
        record_sock_error();
        log_error("create: connect() failed %s\n", sock_error_text());
        close_socket(sock);
        return kNoSocket;
    }
    return sock;
}

int udp_create(const char *local_name, int local_port, const char *remote_name, int remote_port) {
    return socket_create(AF_INET, SOCK_DGRAM, local_name, local_port, remote_name, remote_port);
}

int tcp_open_async(const char *host, int port, const char *bind_address) {
    return tcp_open(host, port, bind_address, 0);
}

int join_group(int sock, const char *interface_name, const char *group_name) {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = lookup_ipv4(group_name);
    request.imr_interface.s_addr =
        interface_name == nullptr ? htonl(INADDR_ANY) : lookup_ipv4(interface_name);
    errno = 0;
    if (sys.setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
        record_sock_error();
        log_error("multicast: Failed to joing group (%s) %s\n", group_name ? group_name : "",
                  sock_error_text());
        return 0;
    }
    return 1;
}

} // namespace brennic
