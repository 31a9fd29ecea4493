#include "tests/support/socket_checks.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

namespace brennic::test {
namespace {

SOCKET native(int sock) { return sock < 0 ? INVALID_SOCKET : static_cast<SOCKET>(sock); }

// How long the mode probe lets a blocking socket wait for nothing.
constexpr DWORD kProbeWaitMs = 50;

// Handle values are multiples of four; a test program holds far fewer than 16384 handles.
constexpr int kHandleStep = 4;
constexpr int kHandleValueLimit = kHandleStep * 16384;

} // namespace

// The platform cannot be asked for the mode. A look at a socket with nothing to read tells
// it: a non-blocking one answers WSAEWOULDBLOCK at once, a blocking one waits out a short
// receive time limit (set for the look, then put back) and answers WSAETIMEDOUT.
bool is_non_blocking(int sock) {
    const int saved_error = WSAGetLastError();
    const SOCKET s = native(sock);
    DWORD previous = 0;
    int length = sizeof previous;
    ::getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char *>(&previous), &length);
    const DWORD limit = kProbeWaitMs;
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&limit), sizeof limit);
    char byte = 0;
    const bool at_once = ::recv(s, &byte, 1, MSG_PEEK) < 0 && WSAGetLastError() == WSAEWOULDBLOCK;
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&previous),
                 sizeof previous);
    WSASetLastError(saved_error);
    return at_once;
}

bool is_inheritable(int sock) {
    DWORD flags = 0;
    return GetHandleInformation(reinterpret_cast<HANDLE>(native(sock)), &flags) != 0 &&
           (flags & HANDLE_FLAG_INHERIT) != 0;
}

bool is_open(int sock) {
    int type = 0;
    int length = sizeof type;
    return ::getsockopt(native(sock), SOL_SOCKET, SO_TYPE, reinterpret_cast<char *>(&type),
                        &length) == 0;
}

void shut_down(int sock) { ::shutdown(native(sock), SD_BOTH); }

// The process's handle count is not told by every implementation of the platform (wine
// gives 0), so the sockets are counted instead: every handle value a socket can have in a
// test program, each asked for its socket type.
int open_handles() {
    int sockets = 0;
    for (int value = kHandleStep; value < kHandleValueLimit; value += kHandleStep)
        if (is_open(value)) ++sockets;
    return sockets;
}

} // namespace brennic::test
