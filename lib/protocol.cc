#include "lib/protocol.h"

#include <cstring>

#include "base/text.h"
#include "lib/cipher/secret_hash.h"
#include "lib/limits.h"

namespace brennic {

namespace {

constexpr const char *kEncryptWord = "+ENCRYPT";
constexpr const char *kNullPassword = "(NULL)";
constexpr const char *kIntermediatePrefix = "+DATA";
constexpr const char *kSuccessPrefix = "+OK";

int kept(const text_builder &b) { return static_cast<int>(b.length); }

bool is_separator(char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; }

// Finds the next token at or after *pos in text; returns its start and sets *len, or
// returns nullptr when only separators remain.
const char *next_token(const char *text, std::size_t *pos, std::size_t *len) {
    std::size_t i = *pos;
    while (text[i] != '\0' && is_separator(text[i]))
        ++i;
    if (text[i] == '\0') return nullptr;
    const std::size_t start = i;
    while (text[i] != '\0' && !is_separator(text[i]))
        ++i;
    *pos = i;
    *len = i - start;
    return text + start;
}

bool has_prefix(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

int format_change(char *out, std::size_t cap, const char *word, const char *user,
                  const char *password, const char *attributes) {
    text_builder b = start_text(out, cap);
    add_text(b, word);
    add_text(b, " ");
    add_text(b, or_empty(user), kUserMax);
    add_text(b, " ");
    add_text(b, password != nullptr ? password : kNullPassword, kUserMax);
    add_text(b, " ");
    add_text(b, or_empty(attributes), kRequestTextMax);
    return kept(b);
}

} // namespace

int format_handshake(char *out, std::size_t cap, const char *secret) {
    // Truncating signed remainder: a negative hash gives -19 to 0.
    const int remainder = secret_hash(or_empty(secret)) % kHashModulus;
    text_builder b = start_text(out, cap);
    add_text(b, "1 ENCRYPT NORMAL ");
    add_int(b, remainder);
    add_text(b, "\r\n");
    return kept(b);
}

handshake_reply parse_handshake_reply(const char *bytes, int length) {
    handshake_reply reply{handshake_verdict::read_failure, 0, {}};
    if (bytes == nullptr || length < 2) return reply;
    reply.verdict = handshake_verdict::refused;

    // The reply is read as a text: it ends at the first NUL byte, and at most
    // kHandshakeReplyMax bytes are looked at.
    char text[kHandshakeReplyMax + 1];
    const std::size_t take = length < kHandshakeReplyMax
                                 ? static_cast<std::size_t>(length)
                                 : static_cast<std::size_t>(kHandshakeReplyMax);
    std::memcpy(text, bytes, take);
    text[take] = '\0';

    std::size_t pos = 0;
    std::size_t len = 0;
    if (next_token(text, &pos, &len) == nullptr) return reply; // the id, ignored
    const char *word = next_token(text, &pos, &len);
    if (word == nullptr || len != std::strlen(kEncryptWord) ||
        std::strncmp(word, kEncryptWord, len) != 0)
        return reply;

    reply.verdict = handshake_verdict::accepted;
    // A missing number is taken as 0.
    if (const char *number = next_token(text, &pos, &len)) {
        static_assert(sizeof reply.token3 == kHandshakeReplyMax + 1);
        std::memcpy(reply.token3, number, len); // len <= kHandshakeReplyMax
        reply.token3[len] = '\0';
        reply.n = read_int32(reply.token3);
    }
    return reply;
}

int port_of_entry(const char *entry, int default_port) {
    char host[kHostNameSize];
    const char *port_text = nullptr;
    if (!split_host_entry(or_empty(entry), host, sizeof host, &port_text)) return 0;
    if (port_text == nullptr) return default_port;
    // Digits only, 1 to 65535: anything else is not a port the user can have meant.
    int port = 0;
    for (const char *p = port_text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        port = port * 10 + (*p - '0');
        if (port > kPortMax) return 0;
    }
    return port >= kPortMin ? port : 0;
}

int format_request_line(char *out, std::size_t cap, std::int32_t id, const char *text) {
    text_builder b = start_text(out, cap);
    add_int(b, id);
    add_text(b, " ");
    add_text(b, or_empty(text), kRequestTextMax);
    add_text(b, "\r\n");
    return kept(b);
}

int format_check(char *out, std::size_t cap, const char *user, const char *password) {
    text_builder b = start_text(out, cap);
    add_text(b, "check ");
    add_text(b, or_empty(user), kUserMax);
    add_text(b, " ");
    add_text(b, or_empty(password), kUserMax);
    return kept(b);
}

int format_lookup(char *out, std::size_t cap, const char *user) {
    text_builder b = start_text(out, cap);
    add_text(b, "lookup ");
    add_text(b, or_empty(user), kUserMax);
    return kept(b);
}

int format_set(char *out, std::size_t cap, const char *user, const char *password,
               const char *attributes) {
    return format_change(out, cap, "set", user, password, attributes);
}

int format_mod(char *out, std::size_t cap, const char *user, const char *password,
               const char *attributes) {
    return format_change(out, cap, "mod", user, password, attributes);
}

int format_del(char *out, std::size_t cap, const char *user) {
    text_builder b = start_text(out, cap);
    add_text(b, "del ");
    add_text(b, or_empty(user), kUserMax);
    return kept(b);
}

int format_search(char *out, std::size_t cap, const char *text) {
    text_builder b = start_text(out, cap);
    add_text(b, or_empty(text), kSearchTextMax);
    return kept(b);
}

std::int32_t reply_id(const char *line) { return read_int32(or_empty(line)); }

const char *reply_text(const char *line) {
    if (line == nullptr) return "";
    const char *space = std::strchr(line, ' ');
    return space != nullptr ? space + 1 : line + std::strlen(line);
}

bool reply_is_intermediate(const char *reply_text) {
    return reply_text != nullptr && has_prefix(reply_text, kIntermediatePrefix);
}

bool reply_is_success(const char *reply_text) {
    return reply_text != nullptr && has_prefix(reply_text, kSuccessPrefix);
}

} // namespace brennic
