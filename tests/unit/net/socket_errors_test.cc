#include "net/socket_errors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "net/platform.h"
#include "net/tcp.h"
#include "tests/support/loopback_pair.h"
#include "tests/support/socket_checks.h"
#if !defined(_WIN32)
#include "net/posix/errno_codes.h"
#endif

namespace brennic {
namespace {

std::string text_for(std::int32_t code) {
    last_sock_error = code;
    return sock_error_text();
}

TEST(SockErrorText, EveryTableRow) {
    const std::vector<std::pair<std::int32_t, std::string>> rows = {
        {10004, "() The (blocking) call was canceled via WSACancelBlockingCall.\n"},
        {10013, "() The requested address is a broadcast address, but the appropriate flag was "
                "not set.\n"},
        {10014, "() The buf argument is not in a valid part of the user address space.\n"},
        {10022, "() The socket has not been bound with bind.\n"},
        {10035, "() The socket is marked as non-blocking and the requested operation would "
                "block.\n"},
        {10036, "() A blocking Windows Sockets operation is in progress.\n"},
        {10038, "() The descriptor is not a socket.\n"},
        {10039, "() DestAddrReq\n"},
        {10040, "() The socket is of type SOCK_DGRAM, and the datagram is larger than the "
                "maximum supported by the Windows Sockets implementation.\n"},
        {10045, "() MSG_OOB was specified, but the socket is not of type SOCK_STREAM.\n"},
        {10048, "() Address in use\n"},
        {10049, "() Address not avail\n"},
        {10050, "() The Windows Sockets implementation has detected that the network "
                "subsystem has failed.\n"},
        {10051, "() Network Unreachable\n"},
        {10052, "() The connection must be reset because the Windows Sockets implementation "
                "dropped it.\n"},
        {10053, "() The virtual circuit was aborted due to timeout or other failure.\n"},
        {10054, "() The virtual circuit was reset by the remote side.\n"},
        {10055, "() The Windows Sockets implementation reports a buffer deadlock.\n"},
        {10057, "() The socket is not connected.\n"},
        {10058, "() The socket has been shutdown; it is not possible to sendln on a socket "
                "after shutdown has been invoked with how set to 1 or 2.\n"},
        {10059, "() Too many refs.\n"},
        {10060, "() Timedout\n"},
        {10061, "() Connection Refused\n"},
        {10063, "() Name too long\n"},
        {10064, "() Host down\n"},
        {10065, "() Host Unreachable\n"},
        {10066, "() Not Empty\n"},
        {10093, "() A successful WSAStartup must occur before using this API.\n"},
    };
    for (const auto &[code, expected] : rows)
        EXPECT_EQ(text_for(code), expected) << code;
    // The longest text still fits the result buffer whole.
    EXPECT_EQ(text_for(10040).size(), 130u);
}

TEST(SockErrorText, CodesOutsideTheTableGetTheNumberedDefault) {
    EXPECT_EQ(text_for(0), "() Socket Unkown error code 0 \n");
    EXPECT_EQ(text_for(11001), "() Socket Unkown error code 11001 \n");
    EXPECT_EQ(text_for(-5), "() Socket Unkown error code -5 \n");
    // Neighbours of table rows are not matched by mistake.
    EXPECT_EQ(text_for(10037), "() Socket Unkown error code 10037 \n");
    EXPECT_EQ(text_for(10056), "() Socket Unkown error code 10056 \n");
    EXPECT_EQ(text_for(10094), "() Socket Unkown error code 10094 \n");
    EXPECT_EQ(text_for(INT32_MIN), "() Socket Unkown error code -2147483648 \n");
}

TEST(SockErrorText, OneBufferOverwrittenByEachCall) {
    last_sock_error = 10061;
    const char *first = sock_error_text();
    last_sock_error = 10060;
    const char *second = sock_error_text();
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "() Timedout\n");
}

// errno values are mapped onto socket codes on POSIX only: Windows reports the codes itself.
#if !defined(_WIN32)
TEST(SockCodeFromErrno, MapsOntoSocketCodes) {
    const std::vector<std::pair<int, std::int32_t>> rows = {
        {EAGAIN, 10035},       {EWOULDBLOCK, 10035},   {EINPROGRESS, 10036},  {EALREADY, 10037},
        {EINTR, 10004},        {EACCES, 10013},        {EFAULT, 10014},       {EINVAL, 10022},
        {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},  {EMSGSIZE, 10040},     {EOPNOTSUPP, 10045},
        {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},     {ENETUNREACH, 10051},
        {ENETRESET, 10052},    {ECONNABORTED, 10053},  {ECONNRESET, 10054},   {ENOBUFS, 10055},
        {EISCONN, 10056},      {ENOTCONN, 10057},      {ESHUTDOWN, 10058},    {EPIPE, 10058},
        {ETOOMANYREFS, 10059}, {ETIMEDOUT, 10060},     {ECONNREFUSED, 10061}, {ENAMETOOLONG, 10063},
        {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},  {ENOTEMPTY, 10066},
    };
    for (const auto &[err, code] : rows)
        EXPECT_EQ(sock_code_from_errno(err), code) << err;
    EXPECT_EQ(sock_code_from_errno(0), 0);
    EXPECT_EQ(sock_code_from_errno(ENOENT), ENOENT);
    EXPECT_EQ(sock_code_from_errno(EBADF), EBADF);
    // Values outside any table pass through unchanged.
    for (int err : {-1, -EAGAIN, 255, 256, 4095, 100000})
        EXPECT_EQ(sock_code_from_errno(err), err) << err;
}
#endif

// The platform's error is set through the table (on POSIX as the errno value of the code).
TEST(RecordSockError, RecordsTheCodeAndWouldBlockSeesOnlyTwoCodes) {
    sys.set_error(10035);
#if !defined(_WIN32)
    EXPECT_EQ(errno, EWOULDBLOCK);
#endif
    record_sock_error();
    EXPECT_EQ(last_sock_error, 10035);
    EXPECT_EQ(would_block(), 1);
    sys.set_error(10036);
    record_sock_error();
    EXPECT_EQ(would_block(), 1);
    sys.set_error(10037);
    record_sock_error();
    EXPECT_EQ(last_sock_error, 10037);
    EXPECT_EQ(would_block(), 0);
    sys.set_error(0);
    record_sock_error();
    EXPECT_EQ(last_sock_error, 0);
    EXPECT_EQ(would_block(), 0);
}

// The platform's own failures read as socket codes through the table on every platform.
TEST(LastError, RealFailuresReadAsSocketCodes) {
    test::start_sockets();
    int fds[2];
    ASSERT_TRUE(test::loopback_pair(fds));
    char byte = 0;
    EXPECT_EQ(sys.recv(fds[0], &byte, 1, kRecvNoWait), -1);
    EXPECT_EQ(sys.last_error(), 10035) << "nothing to read";
    sys.close(fds[1]);

    const int listener = test::listen_loopback(AF_INET, 1);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(bound_port(listener)));
    sys.close(listener);
    const int sock = make_socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(sock, -1);
    EXPECT_EQ(sys.connect(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), -1);
    EXPECT_EQ(sys.last_error(), 10061) << "nothing listens there";
    sys.close(sock);
    sys.close(fds[0]);
}

} // namespace
} // namespace brennic
