// The errno values of a POSIX system and the Windows Sockets codes they stand for: the
// socket layer reports every error as such a code (net/socket_errors.h).
#pragma once

#include <cstdint>

namespace brennic {

// The Windows Sockets code for an errno value; values without one are kept as they are.
std::int32_t sock_code_from_errno(int err);

// The errno value for a Windows Sockets code (the first of the values that share it);
// codes without one are kept as they are.
int errno_from_sock_code(std::int32_t code);

} // namespace brennic
