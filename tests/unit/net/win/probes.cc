#include "tests/unit/net/probes.h"

// The socket headers come first: after windows.h they would clash with its older ones.
#include <winsock2.h>

#include <windows.h>

#include <cstdint>

namespace brennic::testing {
namespace {

HANDLE handle_of(int sock) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(sock)); }

} // namespace

bool child_inherits(int sock) {
    DWORD flags = 0;
    return GetHandleInformation(handle_of(sock), &flags) && (flags & HANDLE_FLAG_INHERIT) != 0;
}

// The platform keeps the mode to itself: a receive with nothing to read tells, failing at once
// with WSAEWOULDBLOCK on a non-blocking socket and waiting for the receive limit on a
// blocking one.
bool is_nonblocking(int sock) {
    const SOCKET s = static_cast<SOCKET>(sock);
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(s, &writable);
    timeval connect_limit{2, 0};
    ::select(0, nullptr, &writable, nullptr, &connect_limit); // a connect still under way ends
    const DWORD limit_ms = 2000;
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&limit_ms),
                 sizeof limit_ms);
    char byte = 0;
    return ::recv(s, &byte, 1, 0) < 0 && WSAGetLastError() == WSAEWOULDBLOCK;
}

// The process's handle count is not told by every implementation of the platform (wine
// gives 0), so the sockets are counted instead: each handle value a socket of a test program
// can have (a multiple of four), asked for its socket type.
long open_handle_mark() {
    constexpr int kHandleStep = 4;
    constexpr int kHandleValueLimit = kHandleStep * 16384;
    long sockets = 0;
    for (int value = kHandleStep; value < kHandleValueLimit; value += kHandleStep) {
        int type = 0;
        int length = sizeof type;
        if (::getsockopt(static_cast<SOCKET>(value), SOL_SOCKET, SO_TYPE,
                         reinterpret_cast<char *>(&type), &length) == 0)
            ++sockets;
    }
    return sockets;
}

bool holds_port_option(int sock) {
    BOOL on = FALSE;
    int length = sizeof on;
    return ::getsockopt(static_cast<SOCKET>(sock), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                        reinterpret_cast<char *>(&on), &length) == 0 &&
           on != FALSE;
}

bool make_link(const char *target, const char *path) {
    constexpr DWORD kUnprivileged = 0x2; // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    if (!CreateSymbolicLinkA(path, target, kUnprivileged)) return false;
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool death_test_shares_sockets() { return false; }

} // namespace brennic::testing
