#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/extra/utilities.h"

namespace brennic {
namespace {

constexpr std::size_t kHexDumpSize = 2000;
constexpr int kHexCharsPerByte = 3;
// Bytes that fit with the terminator: 666.
constexpr int kHexDumpMaxBytes = (kHexDumpSize - 1) / kHexCharsPerByte;
static_assert(kHexDumpMaxBytes == 666);

char hex_text[kHexDumpSize];

} // namespace

const char *hex_dump(const void *bytes, int length) {
    const auto *byte = static_cast<const unsigned char *>(bytes);
    const int count = std::clamp(length, 0, kHexDumpMaxBytes);
    hex_text[0] = '\0';
    for (int i = 0; i < count; ++i)
        std::snprintf(hex_text + i * kHexCharsPerByte, kHexCharsPerByte + 1, "%2x ",
                      static_cast<unsigned>(byte[i]));
    return hex_text;
}

char *dup_string(const char *text) {
    if (text == nullptr) return nullptr;
    const std::size_t length = std::strlen(text);
    char *copy = static_cast<char *>(std::malloc(length + 1));
    if (copy != nullptr) std::memcpy(copy, text, length + 1);
    return copy;
}

} // namespace brennic
