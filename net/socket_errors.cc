#include "net/socket_errors.h"

#include <algorithm>
#include <array>
#include <cerrno>
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

struct errno_code {
    int err;
    std::int32_t code;
};

// errno values and the Windows Sockets code each stands for. EAGAIN and EWOULDBLOCK (and
// ESHUTDOWN and EPIPE) share a code; on some systems the first pair share a value too.
constexpr errno_code kErrnoCodes[] = {
    {EAGAIN, 10035},       {EWOULDBLOCK, 10035},   {EINPROGRESS, 10036},  {EALREADY, 10037},
    {EINTR, 10004},        {EACCES, 10013},        {EFAULT, 10014},       {EINVAL, 10022},
    {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},  {EMSGSIZE, 10040},     {EOPNOTSUPP, 10045},
    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},     {ENETUNREACH, 10051},
    {ENETRESET, 10052},    {ECONNABORTED, 10053},  {ECONNRESET, 10054},   {ENOBUFS, 10055},
    {EISCONN, 10056},      {ENOTCONN, 10057},      {ESHUTDOWN, 10058},    {EPIPE, 10058},
    {ETOOMANYREFS, 10059}, {ETIMEDOUT, 10060},     {ECONNREFUSED, 10061}, {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},  {ENOTEMPTY, 10066},
};

// The same pairs as a table indexed by errno value (0 where a value has no code).
constexpr std::size_t kErrnoLimit = 256;
constexpr std::array<std::int32_t, kErrnoLimit> make_code_table() {
    std::array<std::int32_t, kErrnoLimit> table{};
    for (const errno_code &row : kErrnoCodes)
        if (table[static_cast<std::size_t>(row.err)] == 0)
            table[static_cast<std::size_t>(row.err)] = row.code;
    return table;
}
constexpr std::array<std::int32_t, kErrnoLimit> kCodeByErrno = make_code_table();
static_assert(
    [] {
        for (const errno_code &row : kErrnoCodes)
            if (row.err <= 0 || static_cast<std::size_t>(row.err) >= kErrnoLimit) return false;
        return true;
    }(),
    "every errno value of the pairs fits the table");

constexpr std::size_t kTextBufferSize = 500;
char text_buffer[kTextBufferSize];

} // namespace

std::int32_t sock_code_from_errno(int err) {
    // Every receive records its error, even when there is none: a look-up by value, not a
    // search through the pairs.
    if (err < 0 || static_cast<std::size_t>(err) >= kCodeByErrno.size()) return err;
    const std::int32_t code = kCodeByErrno[static_cast<std::size_t>(err)];
    return code != 0 ? code : err;
}

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
