#include "net/server_calls.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "net/posix/errno_codes.h"

namespace brennic {
namespace {

void (*stop_callback)() = nullptr;

void on_stop_signal(int) {
    if (stop_callback != nullptr) stop_callback();
}

} // namespace

int hold_port(int sock) {
    const int on = 1;
    return sys.setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

int poll_fine(poll_entry *entries, poll_count count, std::int64_t limit_us) {
    if (limit_us < 0) limit_us = 0;
    const timespec limit{static_cast<time_t>(limit_us / 1000000),
                         static_cast<long>(limit_us % 1000000) * 1000};
    return ::ppoll(count ? entries : nullptr, count, &limit, nullptr);
}

void watch_stop_requests(void (*on_stop)()) {
    stop_callback = on_stop;
    // Without SA_RESTART: a signal ends the process's wait at once, so the stop is seen.
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // A peer that has gone away shows as a failed send, never as the end of the process.
    std::signal(SIGPIPE, SIG_IGN);
}

bool out_of_resources(std::int32_t code) {
    const int err = errno_from_sock_code(code);
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

const char *error_text(std::int32_t code) { return std::strerror(errno_from_sock_code(code)); }

} // namespace brennic
