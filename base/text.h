// Small text helpers shared by the shell, the library and the socket layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace brennic {

// Copies from src until its end or n characters, terminates after them, and also always
// writes a terminator at dst[n]: dst must hold n + 1 characters.
void copy_bounded(char *dst, const char *src, std::size_t n);

// A text built in a fixed buffer the way snprintf builds one, without parsing a format:
// what does not fit is cut, the buffer always ends with a terminator when it has room for
// one, and length is what was kept (snprintf's result, cut to what fits).
struct text_builder {
    char *out;
    std::size_t cap;
    std::size_t length;
};

text_builder start_text(char *out, std::size_t cap);
// Adds text up to its end or max characters, as "%.*s" does.
void add_text(text_builder &b, const char *text,
              std::size_t max = std::numeric_limits<std::size_t>::max());
// Adds a number in decimal, as "%d" does.
void add_int(text_builder &b, std::int32_t value);

// text, or the empty text when text is null.
inline const char *or_empty(const char *text) { return text != nullptr ? text : ""; }

// Ends text at its first CR or LF, whichever comes first; a text without either stays.
void cut_at_line_end(char *text);

// Lower-cases A to Z in place; every other byte, bytes above 127 included, stays.
void lowercase_in_place(char *text);

// Reads a decimal number as atoi does (leading white space, optional sign, digits up to the
// first non-digit; no digits give 0), saturating at the limits of a signed 32-bit value.
int read_int32(const char *text);

// Splits a host entry into its host part, copied into host (cut to host_size - 1 characters),
// and the text of its port, stored in *port_text (nullptr when the entry names no port). The
// forms are "host", "host:port" (split at the first colon), "[address]" and
// "[address]:port", and an IPv6 literal written bare (two colons or more, no port). 0 for a
// bracket that is not closed or is followed by anything but ":port"; 1 otherwise.
int split_host_entry(const char *entry, char *host, std::size_t host_size, const char **port_text);

} // namespace brennic
