#include "net/posix/errno_codes.h"

#include <array>
#include <cerrno>
#include <cstddef>

namespace brennic {
namespace {

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

} // namespace

std::int32_t sock_code_from_errno(int err) {
    // Every receive records its error, even when there is none: a look-up by value, not a
    // search through the pairs.
    if (err < 0 || static_cast<std::size_t>(err) >= kCodeByErrno.size()) return err;
    const std::int32_t code = kCodeByErrno[static_cast<std::size_t>(err)];
    return code != 0 ? code : err;
}

int errno_from_sock_code(std::int32_t code) {
    if (code <= 0) return static_cast<int>(code);
    for (const errno_code &row : kErrnoCodes)
        if (row.code == code) return row.err;
    return static_cast<int>(code);
}

} // namespace brennic
