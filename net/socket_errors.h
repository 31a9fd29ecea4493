// Socket error codes and their texts. Codes are those of Windows Sockets on every platform:
// on POSIX the platform table maps errno onto them (net/posix/errno_codes.h), so that the
// texts and the would-block test keep their meaning.
#pragma once

#include <cstdint>

namespace brennic {

// Most recent socket error code; 0 at start. Written only by record_sock_error.
extern std::int32_t last_sock_error;

// Text for last_sock_error in a static buffer valid until the next call. Every text begins
// with "() " and ends with a line feed.
const char *sock_error_text();

// Codes the socket layer tests for itself.
inline constexpr std::int32_t kSockInterrupted = 10004;     // WSAEINTR: a signal cut a call short
inline constexpr std::int32_t kSockInvalidArgument = 10022; // WSAEINVAL
inline constexpr std::int32_t kSockTimedOut = 10060;        // WSAETIMEDOUT

} // namespace brennic
