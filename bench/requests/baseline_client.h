// The baseline: a minimal client written by hand against the wire protocol, the yardstick
// for the library and the console. A blocking socket, the plaintext handshake, the two
// keystream generators, request lines out and reply lines in; nothing else (no host table,
// no pending list, no diagnostics).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lib/cipher/keystream.h"

namespace brennic::bench {

// The first line of the secret file without CR and LF, at most 399 characters, as the
// server reads it; empty when the file cannot be read.
std::string read_secret_line(const std::string &path);

class baseline_client {
  public:
    baseline_client() = default;
    ~baseline_client();
    baseline_client(const baseline_client &) = delete;
    baseline_client &operator=(const baseline_client &) = delete;

    // Connects to 127.0.0.1:port and performs the handshake. False on any failure.
    bool open(int port, const std::string &secret);
    void close();
    bool is_open() const { return fd_ >= 0; }

    // Sends "<id> <text>\r\n", enciphered, with one send call (repeated only for a rest
    // that the kernel did not take).
    bool send_line(std::int32_t id, std::string_view text);
    // Appends "<id> <text>\r\n" to out, not yet enciphered; send_batch enciphers and sends
    // a whole batch.
    static void append_line(std::string &out, std::int32_t id, std::string_view text);
    bool send_batch(std::string &plain);

    // The next reply line without CR and LF; blocks until it is complete. False when the
    // link broke.
    bool read_line(std::string &line);

    // One request and its final reply: sends the line, then reads lines until one that is
    // not "+DATA". reply gets the final line after its id and space.
    bool request(std::int32_t id, std::string_view text, std::string &reply);

  private:
    bool fill();

    int fd_ = -1;
    mt_ptr rx_;
    mt_ptr tx_;
    std::vector<char> in_ = std::vector<char>(kInCapacity);
    std::size_t head_ = 0; // first byte not yet consumed
    std::size_t tail_ = 0; // end of the deciphered bytes
    std::string out_;

    static constexpr std::size_t kInCapacity = 1 << 16;
};

// The id of a reply line (decimal prefix with optional sign), and its text after the first
// space ("" when there is none).
std::int32_t line_id(std::string_view line);
std::string_view line_text(std::string_view line);

} // namespace brennic::bench
