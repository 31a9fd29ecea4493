#include "base/diag.h"

#include <cstdarg>
#include <cstdio>

#include "base/limits.h"

namespace brennic {
namespace {

log_callback stored_callback = nullptr;
int min_level = kLevelDebug;

void deliver(int level, bool fold_line_ends, const char *format, va_list args) BRENNIC_PRINTF(3, 0);

void deliver(int level, bool fold_line_ends, const char *format, va_list args) {
    // Nobody reads the line: skip the formatting.
    if (stored_callback == nullptr || level < min_level) return;
    char text[kDiagMax + 1];
    int n = std::vsnprintf(text, sizeof text, format, args);
    if (n < 0) text[0] = '\0';
    if (fold_line_ends) {
        for (char *p = text; *p; ++p)
            if (*p == '\r') *p = ' ';
        for (char *p = text; *p; ++p)
            if (*p == '\n') *p = ' ';
    }
    stored_callback(level, text);
}

} // namespace

void set_log_callback(log_callback fn) { stored_callback = fn; }

void set_log_level(int level) { min_level = level; }

bool log_enabled() { return stored_callback != nullptr && min_level <= kLevelInfo; }

void log_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    deliver(kLevelError, true, format, args);
    va_end(args);
}

void log_info(const char *format, ...) {
    va_list args;
    va_start(args, format);
    deliver(kLevelInfo, true, format, args);
    va_end(args);
}

void log_debug(const char *format, ...) {
    va_list args;
    va_start(args, format);
    deliver(kLevelDebug, false, format, args);
    va_end(args);
}

} // namespace brennic
