// Byte formats of the link: handshake, request lines, request texts and reply lines.
// Pure functions: no I/O.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brennic {

// "%d ENCRYPT NORMAL %d\r\n" with 1 and secret_hash(secret) % 20 (truncating). Returns the
// length written (20 to 22) into out of at least 32 bytes.
int format_handshake(char *out, std::size_t cap, const char *secret);

enum class handshake_verdict { read_failure, refused, accepted };

struct handshake_reply {
    handshake_verdict verdict;
    std::int32_t n;   // the server's number (accepted only); 0 when token 3 is absent
    char token3[201]; // the third token as received, empty when absent
};

// Reads the bytes of the one handshake receive: fewer than 2 is a read failure; the second
// token (tokens split at space, CR, LF, TAB) must be "+ENCRYPT"; the third is N, read as
// atoi reads it (saturating to 32 bits). At most 200 bytes are looked at.
handshake_reply parse_handshake_reply(const char *bytes, int length);

// The port of a host entry ("host:port", "[address]:port"; see split_host_entry): its
// digits read as a number from 1 to 65535, or default_port when the entry names no port.
// 0 when the entry is not well formed or its port is anything else ("6010x", "70000", "").
int port_of_entry(const char *entry, int default_port);

// "%d %.19000s\r\n". Returns the length; out must hold kLineBufSize bytes.
int format_request_line(char *out, std::size_t cap, std::int32_t id, const char *text);

// Request texts. Each returns the length written; out holds cap bytes.
int format_check(char *out, std::size_t cap, const char *user, const char *password);
int format_lookup(char *out, std::size_t cap, const char *user);
int format_set(char *out, std::size_t cap, const char *user, const char *password,
               const char *attributes);
int format_mod(char *out, std::size_t cap, const char *user, const char *password,
               const char *attributes);
int format_del(char *out, std::size_t cap, const char *user);
int format_search(char *out, std::size_t cap, const char *text);

// Reply lines (already cut, without CR and LF).
std::int32_t reply_id(const char *line); // atoi of the prefix, saturating
// After the first space, or the empty text at the line's end when it has none ("" for null).
const char *reply_text(const char *line);
inline char *reply_text(char *line) {
    return const_cast<char *>(reply_text(static_cast<const char *>(line)));
}
bool reply_is_intermediate(const char *reply_text); // begins with "+DATA"
bool reply_is_success(const char *reply_text);      // begins with "+OK"

} // namespace brennic
