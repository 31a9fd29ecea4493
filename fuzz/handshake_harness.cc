// The handshake reply parser on arbitrary bytes, checked against tokens found here.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "fuzz/support.h"
#include "lib/limits.h"
#include "lib/protocol.h"

namespace brennic::fuzz {
namespace {

constexpr const char *kTarget = "handshake";

bool is_blank(char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; }

// The first tokens of the bytes as a text (up to a NUL, at most the reply's 200 bytes).
std::vector<std::string> tokens_of(const std::string &received) {
    const std::string text = as_text(received.substr(0, kHandshakeReplyMax));
    std::vector<std::string> tokens;
    std::size_t i = 0;
    while (tokens.size() < 3) {
        while (i < text.size() && is_blank(text[i]))
            ++i;
        if (i >= text.size()) break;
        const std::size_t start = i;
        while (i < text.size() && !is_blank(text[i]))
            ++i;
        tokens.push_back(text.substr(start, i - start));
    }
    return tokens;
}

// The number a text starts with, as atoi reads it (white space such as a vertical tab
// skipped first), held at the 32-bit limits.
std::int32_t leading_number(const std::string &text) {
    std::size_t i = 0;
    while (i < text.size() && std::strchr(" \t\n\r\f\v", text[i]) != nullptr)
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 1LL << 32) value = 1LL << 32;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<std::int32_t>(value);
}

} // namespace

int handshake_one(const std::uint8_t *data, std::size_t size) {
    byte_source in(data, size);
    const std::uint8_t length_byte = in.take_byte();
    const std::string rest = in.take_rest();
    const std::size_t length =
        length_byte == 255 ? rest.size() : std::min<std::size_t>(length_byte, rest.size());
    // Exactly the received bytes, so that a read past them is caught.
    std::vector<char> received(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(length));

    const handshake_reply reply =
        parse_handshake_reply(received.data(), static_cast<int>(received.size()));

    expect(std::memchr(reply.token3, '\0', sizeof reply.token3) != nullptr, kTarget,
           "token3 is terminated");
    if (length < 2) {
        expect(reply.verdict == handshake_verdict::read_failure, kTarget,
               "fewer than 2 bytes is a read failure");
        return 0;
    }
    const std::vector<std::string> tokens =
        tokens_of(std::string(received.begin(), received.end()));
    const bool accepted = tokens.size() >= 2 && tokens[1] == "+ENCRYPT";
    expect(reply.verdict == (accepted ? handshake_verdict::accepted : handshake_verdict::refused),
           kTarget, "the verdict follows the second token");
    if (!accepted) return 0;
    const std::string third = tokens.size() >= 3 ? tokens[2] : std::string();
    expect(third == reply.token3, kTarget, "token3 is the third token");
    expect(reply.n == leading_number(third), kTarget, "n is the third token's number");
    return 0;
}

} // namespace brennic::fuzz
