// Limits that more than one layer relies on: the shell and the library agree on them.
#pragma once

namespace brennic {

inline constexpr int kUserMax = 100;       // user names and passwords
inline constexpr int kDiagMax = 999;       // one formatted diagnostic
inline constexpr int kHostListMax = 999;   // host list as split by brennic_init
inline constexpr int kSecretPathMax = 999; // secret-file path kept by the library

} // namespace brennic
