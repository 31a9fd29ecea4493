#include <array>

#include "base/diag.h"
#include "net/address.h"
#include "net/extra/utilities.h"
#include "net/platform.h"
#include "net/socket_errors.h"

namespace brennic {
namespace {

constexpr std::size_t kHostNameBufferMax = 190; // size handed to the platform
constexpr int kSocketProbeLimit = 300;

char host_name_buffer[kHostNameBufferMax + 1];

} // namespace

std::uint32_t lookup_ipv4(const char *host) {
    if (host == nullptr || host[0] == '\0') return htonl(INADDR_ANY);
    sockaddr_in record{};
    if (!getaddr(host, &record)) {
        log_error("Lookup failed for (%s)\n", host);
        return 0;
    }
    return record.sin_addr.s_addr;
}

const char *local_host_name() {
    host_name_buffer[0] = '\0';
    sys.set_error(0);
    if (sys.gethostname(host_name_buffer, kHostNameBufferMax) != 0) {
        record_sock_error();
        log_info("tcp: Can't get host name %s\n", sock_error_text());
        host_name_buffer[0] = '\0';
    }
    // A name that fills the buffer may come back without its terminator.
    host_name_buffer[kHostNameBufferMax] = '\0';
    return host_name_buffer;
}

int count_openable_sockets() {
    std::array<int, kSocketProbeLimit> opened{};
    int count = 0;
    while (count < kSocketProbeLimit) {
        const int sock = sys.socket(AF_INET, SOCK_STREAM, 0);
        if (sock < 0) break;
        opened[count++] = sock;
    }
    for (int i = 0; i < count; ++i)
        close_socket(opened[i]);
    return count;
}

} // namespace brennic
