// Socket error codes and their texts. Codes are those of Windows Sockets; on POSIX,
// record_sock_error maps errno onto them so that the texts and the would-block test keep
// their meaning.
#pragma once

#include <cstdint>

namespace brennic {

// Most recent socket error code; 0 at start. Written only by record_sock_error.
extern std::int32_t last_sock_error;

// Text for last_sock_error in a static buffer valid until the next call. Every text begins
// with "() " and ends with a line feed.
const char *sock_error_text();

// The Windows Sockets code for an errno value; values without one are kept as they are.
std::int32_t sock_code_from_errno(int err);

} // namespace brennic
