#include "shell/json.h"

#include <cstdlib>
#include <cstring>

#include "shell/limits.h"

namespace brennic {
namespace {

// The length of the well-formed UTF-8 sequence at p (1 to 4), or 0 when the byte at p does
// not start one: overlong forms, surrogates and values past U+10FFFF are not well formed.
int utf8_sequence(const unsigned char *p) {
    const unsigned char b = p[0];
    const auto cont = [](unsigned char c) { return (c & 0xC0) == 0x80; };
    if (b >= 0xC2 && b <= 0xDF) return cont(p[1]) ? 2 : 0;
    if (b >= 0xE0 && b <= 0xEF) {
        const unsigned char lo = b == 0xE0 ? 0xA0 : 0x80;
        const unsigned char hi = b == 0xED ? 0x9F : 0xBF;
        return p[1] >= lo && p[1] <= hi && cont(p[2]) ? 3 : 0;
    }
    if (b >= 0xF0 && b <= 0xF4) {
        const unsigned char lo = b == 0xF0 ? 0x90 : 0x80;
        const unsigned char hi = b == 0xF4 ? 0x8F : 0xBF;
        return p[1] >= lo && p[1] <= hi && cont(p[2]) && cont(p[3]) ? 4 : 0;
    }
    return 0;
}

void escaped_byte(std::FILE *out, unsigned char b) {
    static constexpr char kHex[] = "0123456789abcdef";
    const char seq[6] = {'\\', 'u', '0', '0', kHex[b >> 4], kHex[b & 0x0F]};
    std::fwrite(seq, 1, sizeof seq, out);
}

} // namespace

void json_string(std::FILE *out, const char *text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    std::fputc('"', out);
    while (*p != 0) {
        // A run of plain printable ASCII goes out in one write.
        const unsigned char *run = p;
        while (*p >= 0x20 && *p < 0x7F && *p != '"' && *p != '\\')
            ++p;
        if (p != run) std::fwrite(run, 1, static_cast<std::size_t>(p - run), out);
        if (*p == 0) break;
        if (*p == '"' || *p == '\\') {
            const char seq[2] = {'\\', static_cast<char>(*p)};
            std::fwrite(seq, 1, 2, out);
            ++p;
        } else if (*p < 0x80) {
            escaped_byte(out, *p); // control bytes and DEL
            ++p;
        } else if (const int n = utf8_sequence(p); n > 0) {
            std::fwrite(p, 1, static_cast<std::size_t>(n), out);
            p += n;
        } else {
            escaped_byte(out, *p);
            ++p;
        }
    }
    std::fputc('"', out);
}

void store_line(line_store &store, const char *line) {
    const std::size_t length = std::strlen(line) + 1;
    if (store.used + length > static_cast<std::size_t>(kJsonLinesMax)) {
        ++store.dropped;
        return;
    }
    if (store.used + length > store.capacity) {
        std::size_t grown = store.capacity == 0 ? kJsonLinesFirst : store.capacity * 2;
        while (grown < store.used + length)
            grown *= 2;
        if (grown > static_cast<std::size_t>(kJsonLinesMax))
            grown = static_cast<std::size_t>(kJsonLinesMax);
        char *bigger = static_cast<char *>(std::realloc(store.data, grown));
        if (bigger == nullptr) {
            ++store.dropped;
            return;
        }
        store.data = bigger;
        store.capacity = grown;
    }
    std::memcpy(store.data + store.used, line, length);
    store.used += length;
    ++store.count;
}

void release_lines(line_store &store) {
    std::free(store.data);
    store = line_store{};
}

void json_lines(std::FILE *out, const line_store &store) {
    std::fputc('[', out);
    std::size_t at = 0;
    for (long i = 0; i < store.count; ++i) {
        if (i > 0) std::fputc(',', out);
        json_string(out, store.data + at);
        at += std::strlen(store.data + at) + 1;
    }
    std::fputc(']', out);
}

} // namespace brennic
