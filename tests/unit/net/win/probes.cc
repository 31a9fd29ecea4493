#include "tests/unit/net/probes.h"

// The socket headers come first: after windows.h they would clash with its older ones.
#include <winsock2.h>

#include <windows.h>

namespace brennic::testing {

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
