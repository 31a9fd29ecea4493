// Limits that more than one layer relies on: the shell and the library agree on them.
#pragma once

namespace brennic {

inline constexpr int kUserMax = 100; // user names, passwords and option values
inline constexpr int kDiagMax = 999; // one formatted diagnostic

} // namespace brennic
