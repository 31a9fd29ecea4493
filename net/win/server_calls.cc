#include "net/server_calls.h"

#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace brennic {
namespace {

constexpr std::size_t kErrorTextSize = 256;
char error_buffer[kErrorTextSize];

void (*stop_callback)() = nullptr;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE; // the default: end
    if (stop_callback != nullptr) stop_callback();
    return TRUE;
}

} // namespace

int hold_port(int sock) {
    const BOOL on = TRUE;
    return sys.setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, &on, sizeof on);
}

int poll_fine(poll_entry *entries, poll_count count, std::int64_t limit_us) {
    if (limit_us < 0) limit_us = 0;
    const std::int64_t ms = (limit_us + 999) / 1000;
    return sys.poll(entries, count, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
}

void watch_stop_requests(void (*on_stop)()) {
    stop_callback = on_stop;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool out_of_resources(std::int32_t code) { return code == WSAEMFILE || code == WSAENOBUFS; }

const char *error_text(std::int32_t code) {
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                       error_buffer, static_cast<DWORD>(sizeof error_buffer), nullptr);
    if (length == 0) {
        std::snprintf(error_buffer, sizeof error_buffer, "error %ld", static_cast<long>(code));
        return error_buffer;
    }
    // The system's texts end in a line break.
    std::size_t end = std::strlen(error_buffer);
    while (end > 0 && (error_buffer[end - 1] == '\n' || error_buffer[end - 1] == '\r' ||
                       error_buffer[end - 1] == ' '))
        --end;
    error_buffer[end] = '\0';
    return error_buffer;
}

} // namespace brennic
