#include "base/diag.h"
#include "net/address.h"
#include "net/extra/utilities.h"
#include "net/platform.h"
#include "net/server_calls.h"
#include "net/socket_errors.h"

namespace brennic {
namespace {

bool is_empty(const char *text) { return text == nullptr || text[0] == '\0'; }

const sockaddr *as_sockaddr(const sockaddr_in *record) {
    return reinterpret_cast<const sockaddr *>(record);
}

// The family in the width of an address record's field, which differs between platforms.
decltype(sockaddr_in::sin_family) family_of(int family) {
    return static_cast<decltype(sockaddr_in::sin_family)>(family);
}

} // namespace

int socket_create(int family, int type, const char *local_name, int local_port,
                  const char *remote_name, int remote_port) {
    sys.set_error(0);
    // The table's socket is one child processes never inherit.
    const int sock = sys.socket(family, type, 0);
    if (sock < 0) {
        record_sock_error();
        log_error("create: socket() failed %s\n", sock_error_text());
        return kNoSocket;
    }

    sockaddr_in local{};
    local.sin_family = family_of(family);
    local.sin_port = htons(static_cast<std::uint16_t>(local_port & 0xFFFF));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!is_empty(local_name)) {
        if (!getaddr(local_name, &local)) {
            log_error("getaddr failed for (%s)\n", local_name);
            close_socket(sock);
            return kNoSocket;
        }
        local.sin_family = family_of(family);
    }

    hold_port(sock);

    sys.set_error(0);
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
    remote.sin_family = family_of(family);

    sys.set_error(0);
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
    sys.set_error(0);
    if (sys.setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
        record_sock_error();
        log_error("multicast: Failed to joing group (%s) %s\n", group_name ? group_name : "",
                  sock_error_text());
        return 0;
    }
    return 1;
}

} // namespace brennic
