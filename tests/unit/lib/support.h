// Test support for the library core: a fresh library with its log captured, a secret file,
// a TCP pair on 127.0.0.1 standing in for a server's link, and a small enciphering server on
// 127.0.0.1.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/diag.h"
#include "lib/state.h"
#include "tests/support/log_capture.h"

namespace brennic::test {

// A fresh library for every test, with the log captured.
class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// A record from new_result, released with the object: records the library sends must be its
// own, since it keeps bookkeeping behind the open part.
struct owned_record {
    brennic_result *record = new_result();
    owned_record() = default;
    owned_record(const owned_record &) = delete;
    owned_record &operator=(const owned_record &) = delete;
    ~owned_record() { free_result(&record); }
};

// The secret both ends use, written to a file in the temporary directory.
inline constexpr const char *kSecret = "the shared secret";
std::string secret_file(const std::string &text = kSecret);

// Plain bytes enciphered as a server sends them (subtracting) or deciphered as a server
// receives them (adding), each direction with its own generator.
struct server_cipher {
    mt_ptr to_client;
    mt_ptr from_client;
    explicit server_cipher(std::int32_t seed);
    std::string encipher(const std::string &plain);
    std::string decipher(const std::string &wire);
};

// A host of the table wired to one end of a TCP pair on 127.0.0.1: open, with generators of
// the given seed. The test plays the server on the other end.
struct paired_host {
    brennic_host *host;
    int peer = -1;
    server_cipher cipher;
    paired_host(int index, std::int32_t seed = 1234);
    ~paired_host();
    void send(const std::string &plain); // enciphered to the client
    std::string received();              // deciphered bytes the client sent so far
    void close_peer();
};

// A directory server on 127.0.0.1 with a port of the system's choosing. It serves one
// connection at a time and stops with the object.
class fake_server {
  public:
    // deaf: accepts the handshake, then never reads from the link; steady: accepts it, then
    // reads at about 2 MB a second (64 KiB every 32 ms) and answers nothing.
    enum class greeting { accept, accept_no_number, silent, one_byte, refuse, close, deaf, steady };
    explicit fake_server(greeting g = greeting::accept, std::int32_t n = 42,
                         std::string secret = kSecret, bool ipv6 = false);
    ~fake_server();
    std::string entry() const; // "127.0.0.1:port", or "[::1]:port"
    int port() const { return port_; }
    bool listening() const { return port_ != 0; } // false: no such loopback here
    // The handshake reply waits this long after the handshake line.
    void handshake_delay(int ms) { delay_ms_ = ms; }
    // Plain bytes that go out enciphered in the same send as the handshake reply.
    void after_handshake(const std::string &plain) { early_ = plain; }
    // Closes each connection once it has answered a request.
    void close_after_reply() { close_after_reply_ = true; }
    int connections() const { return accepted_.load(); }
    std::vector<std::string> handshakes();
    std::vector<std::string> requests(); // request lines, deciphered, without CR LF
    // Answers each request line with the returned plain bytes (none when empty).
    void set_responder(std::function<std::string(const std::string &)> fn);
    void refusal_text(const std::string &text) { refusal_ = text; }
    // Waits up to ms for count request lines.
    bool wait_requests(std::size_t count, int ms = 3000);

  private:
    void run();
    void serve(int client);
    greeting greeting_;
    std::int32_t n_;
    std::string secret_;
    std::string refusal_ = "1 -ERR bad secret\r\n";
    bool ipv6_ = false;
    std::atomic<int> delay_ms_{0};
    std::string early_;
    std::atomic<bool> close_after_reply_{false};
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::mutex mutex_;
    std::vector<std::string> handshakes_;
    std::vector<std::string> requests_;
    std::function<std::string(const std::string &)> responder_;
    std::thread thread_;
};

} // namespace brennic::test
