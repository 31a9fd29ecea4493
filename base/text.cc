#include "base/text.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

namespace brennic {

void copy_bounded(char *dst, const char *src, std::size_t n) {
    const std::size_t len = strnlen(src, n);
    std::memmove(dst, src, len);
    dst[len] = '\0';
    dst[n] = '\0';
}

void cut_at_line_end(char *text) { text[std::strcspn(text, "\r\n")] = '\0'; }

text_builder start_text(char *out, std::size_t cap) {
    if (cap > 0) out[0] = '\0';
    return {out, cap, 0};
}

void add_text(text_builder &b, const char *text, std::size_t max) {
    if (b.cap == 0) return;
    const std::size_t room = b.cap - 1 - b.length;
    std::size_t take = strnlen(text, max);
    if (take > room) take = room;
    std::memcpy(b.out + b.length, text, take);
    b.length += take;
    b.out[b.length] = '\0';
}

void add_int(text_builder &b, std::int32_t value) {
    // Digits from the back of a buffer that holds "-2147483648"; the magnitude is taken in
    // unsigned arithmetic so that the most negative value needs no special case.
    char digits[12];
    char *p = digits + sizeof digits;
    *--p = '\0';
    std::uint32_t magnitude =
        value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) *--p = '-';
    add_text(b, p);
}

void lowercase_in_place(char *text) {
    for (; *text; ++text)
        if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
}

int read_int32(const char *text) {
    const char *p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v')
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    std::int64_t value = 0;
    const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT_MIN) : INT_MAX;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > limit) value = limit; // saturate, keep consuming digits
    }
    return static_cast<int>(negative ? -value : value);
}

int split_host_entry(const char *entry, char *host, std::size_t host_size, const char **port_text) {
    if (entry == nullptr) entry = "";
    *port_text = nullptr;
    const char *start = entry;
    std::size_t length = std::strlen(entry);
    int well_formed = 1;
    if (entry[0] == '[') {
        const char *close = std::strchr(entry, ']');
        if (close == nullptr) {
            well_formed = 0;
        } else {
            start = entry + 1;
            length = static_cast<std::size_t>(close - start);
            if (close[1] == ':')
                *port_text = close + 2;
            else if (close[1] != '\0')
                well_formed = 0;
        }
    } else if (const char *colon = std::strchr(entry, ':')) {
        // A second colon makes the entry an IPv6 literal, which carries no port unbracketed.
        if (std::strchr(colon + 1, ':') == nullptr) {
            length = static_cast<std::size_t>(colon - entry);
            *port_text = colon + 1;
        }
    }
    if (host_size > 0) {
        const std::size_t kept = std::min(length, host_size - 1);
        std::memcpy(host, start, kept);
        host[kept] = '\0';
    }
    return well_formed;
}

} // namespace brennic
