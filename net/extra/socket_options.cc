#include "base/diag.h"
#include "net/extra/utilities.h"
#include "net/platform.h"
#include "net/socket_errors.h"

namespace brennic {
namespace {

constexpr int kLingerSeconds = 60;

linger linger_record{};

} // namespace

int set_nagle(int sock, int flag) {
    const int no_delay = flag ? 0 : ~0;
    sys.setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay);
    return 1;
}

int set_linger(int sock) {
    linger_record.l_onoff = 1;
    linger_record.l_linger = kLingerSeconds;
    sys.set_error(0);
    if (sys.setsockopt(sock, SOL_SOCKET, SO_LINGER, &linger_record, sizeof linger_record) != 0) {
        record_sock_error();
        log_info("linger failed %s\n", sock_error_text());
    }
    return 1;
}

} // namespace brennic
