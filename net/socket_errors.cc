#include "net/socket_errors.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace brennic {

std::int32_t last_sock_error = 0;

namespace {

struct error_text {
    std::int32_t code;
    const char *words; // printed after "() "
};

// One row per Windows Sockets code, in code order.
constexpr std::array<error_text, 28> kErrorTexts{{
    {10004, "The (blocking) call was canceled via WSACancelBlockingCall.\n"},
    {10013,
     "The requested address is a broadcast address, but the appropriate flag was not set.\n"},
    {10014, "The buf argument is not in a valid part of the user address space.\n"},
    {10022, "The socket has not been bound with bind.\n"},
    {10035, "The socket is marked as non-blocking and the requested operation would block.\n"},
    {10036, "A blocking Windows Sockets operation is in progress.\n"},
    {10038, "The descriptor is not a socket.\n"},
    {10039, "DestAddrReq\n"},
    {10040, "The socket is of type SOCK_DGRAM, and the datagram is larger than the maximum "
            "supported by the Windows Sockets implementation.\n"},
    {10045, "MSG_OOB was specified, but the socket is not of type SOCK_STREAM.\n"},
    {10048, "Address in use\n"},
    {10049, "Address not avail\n"},
    {10050, "The Windows Sockets implementation has detected that the network subsystem has "
            "failed.\n"},
    {10051, "Network Unreachable\n"},
    {10052, "The connection must be reset because the Windows Sockets implementation dropped "
            "it.\n"},
    {10053, "The virtual circuit was aborted due to timeout or other failure.\n"},
    {10054, "The virtual circuit was reset by the remote side.\n"},
    {10055, "The Windows Sockets implementation reports a buffer deadlock.\n"},
    {10057, "The socket is not connected.\n"},
    {10058, "The socket has been shutdown; it is not possible to sendln on a socket after "
            "shutdown has been invoked with how set to 1 or 2.\n"},
    {10059, "Too many refs.\n"},
    {10060, "Timedout\n"},
    {10061, "Connection Refused\n"},
    {10063, "Name too long\n"},
    {10064, "Host down\n"},
    {10065, "Host Unreachable\n"},
    {10066, "Not Empty\n"},
    {10093, "A successful WSAStartup must occur before using this API.\n"},
}};

constexpr bool sorted_and_unique() {
    for (std::size_t i = 1; i < kErrorTexts.size(); ++i)
        if (kErrorTexts[i - 1].code >= kErrorTexts[i].code) return false;
    return true;
}
static_assert(sorted_and_unique(), "error texts must be in strictly rising code order");

constexpr std::size_t kTextBufferSize = 500;
char text_buffer[kTextBufferSize];

} // namespace

const char *sock_error_text() {
    const std::int32_t code = last_sock_error;
    const auto row = std::lower_bound(
        kErrorTexts.begin(), kErrorTexts.end(), code,
        [](const error_text &entry, std::int32_t wanted) { return entry.code < wanted; });
    if (row != kErrorTexts.end() && row->code == code) {
        std::snprintf(text_buffer, sizeof text_buffer, "(%s) %s", "", row->words);
    } else {
        // "Unkown" is the system's own spelling, kept deliberately: callers and logs match it.
        std::snprintf(text_buffer, sizeof text_buffer, "(%s) Socket Unkown error code %d \n", "",
                      static_cast<int>(code));
    }
    return text_buffer;
}

} // namespace brennic
