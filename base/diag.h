// Diagnostics channel: printf-style messages delivered as one line to the log callback.
#pragma once

#if defined(__GNUC__)
#define BRENNIC_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define BRENNIC_PRINTF(fmt, args)
#endif

namespace brennic {

// The receiver of every diagnostic: the same shape as the exported brennic_log_fn.
using log_callback = int (*)(int level, const char *text);

inline constexpr int kLevelDebug = 1;
inline constexpr int kLevelInfo = 2;
inline constexpr int kLevelError = 3;

// Stores the callback that receives every diagnostic. Until one is stored, and while a null
// one is, messages are dropped without being formatted.
void set_log_callback(log_callback fn);

// Messages below min_level are neither formatted nor delivered (1, the default: all).
void set_log_level(int min_level);

// True while info messages reach a callback: one is stored and the level lets them through.
// Work done only to produce info diagnostics can be skipped when it is false.
bool log_enabled();

// Level 3 and 2: CR, then LF, become spaces. Level 1: delivered as formatted.
// Formatted text is cut at 999 characters.
void log_error(const char *format, ...) BRENNIC_PRINTF(1, 2);
void log_info(const char *format, ...) BRENNIC_PRINTF(1, 2);
void log_debug(const char *format, ...) BRENNIC_PRINTF(1, 2);

} // namespace brennic
