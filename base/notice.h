// Notices: the few lines the library has to tell its caller outside any request (a server
// that refuses the handshake, a secret file that cannot be written). They go to the notice
// callback when one is registered, else to standard output as one line each.
#pragma once

namespace brennic {

inline constexpr int kNoticeRefused = 1;     // a server refused the handshake
inline constexpr int kNoticeSecretWrite = 2; // the secret file could not be written

// The receiver of notices: the same shape as the exported brennic_notice_fn.
using notice_callback = int (*)(int kind, const char *host, const char *text, const char *line);

void set_notice_callback(notice_callback fn);

// Hands on one notice: kind, the host entry concerned (or nullptr), the notice's own text and
// the whole line as printed without a callback (no LF).
void notice(int kind, const char *host, const char *text, const char *line);

} // namespace brennic
