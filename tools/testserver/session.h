// One client connection of the test server, without any I/O: received bytes go in, the
// bytes to send come out, together with what the connection should do next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/testserver/directory.h"
#include "tools/testserver/options.h"
#include "tools/testserver/stream_cipher.h"

namespace brennic::testserver {

// What every session of one server shares.
struct server_context {
    const server_options *opts = nullptr;
    directory *dir = nullptr;
    std::int32_t secret_hash = 0;
    long requests_seen = 0; // over all connections, for --die-after
    std::FILE *transcript = nullptr;
    long next_serial = 1;
};

enum class session_action {
    none,
    close_when_sent, // stop reading; close once the output is sent
    reset_now,       // reset the connection at once
    stop_server,     // end the whole process at once
};

class session {
  public:
    // An incoming line longer than this without LF ends the connection.
    static constexpr std::size_t kInputMax = 65536;
    // While more replies than this wait to be sent, no further request is taken: received
    // lines are held, and the connection is not read, until the replies drain. A client that
    // sends requests and never reads holds itself up, not the server's memory.
    static constexpr std::size_t kOutputHighWater = 1 << 20;

    explicit session(server_context &ctx);

    // Takes received bytes (enciphered once the handshake is done). Returns the action
    // the connection must take; output() may have grown. feed(nullptr, 0) takes the lines
    // held back while the output was above its high-water mark.
    session_action feed(const char *bytes, std::size_t length);
    // Complete request lines are held back until the output drains.
    bool holding() const { return holding_; }

    // Bytes waiting to be sent, in order; consume(n) drops the first n of them.
    std::string_view output() const { return std::string_view(out_).substr(out_head_); }
    void consume(std::size_t n);
    // How many of the first output bytes must leave in one piece whatever the pacing: the
    // handshake reply, which the client takes from a single receive.
    std::size_t unpaced() const { return unpaced_; }
    bool closing() const { return closing_; }
    // True once the handshake has been answered and the link is enciphered.
    bool exchanging() const { return phase_ == phase::exchange; }
    long serial() const { return serial_; }

    // Replies held back by --reply-delay-ms and --reply-jitter-ms. The server tells the
    // session the time before feeding it; release() moves the replies that are due, in the
    // order of their due times, to output().
    void set_now(long long now_us) { now_us_ = now_us; }
    void release(long long now_us);
    bool has_held() const { return !held_.empty(); }
    long long next_due_us() const { return held_.empty() ? -1 : held_.begin()->first; }

  private:
    enum class phase { handshake, exchange, mute };

    session_action take_handshake(std::string_view line);
    session_action take_request(std::string_view line);
    void queue_plain(std::string_view text); // handshake replies: not enciphered
    void queue_line(std::int32_t id, std::string_view text);
    // Queues a reply line, or holds it while the link's replies are held (--hold).
    void reply_line(std::int32_t id, std::string_view text);
    void commit_block(); // the reply lines of one request, queued or held
    void encipher_out(std::string_view plain);
    void record(const char *event, std::string_view text);

    server_context &ctx_;
    long serial_;
    phase phase_ = phase::handshake;
    bool closing_ = false;
    bool holding_ = false;
    bool first_reply_done_ = false;
    long requests_ = 0;
    std::string in_;
    std::size_t scanned_ = 0; // bytes of in_ known to hold no LF
    std::string out_;
    std::size_t out_head_ = 0;
    std::size_t unpaced_ = 0;
    std::optional<twister> rx_;
    std::optional<twister> tx_;
    reply_list replies_;
    std::string line_;
    std::vector<std::pair<std::int32_t, std::string>> hold_lines_; // --hold: ids and texts
    std::string block_;                          // plain reply lines of the request being answered
    std::multimap<long long, std::string> held_; // due time (µs) -> plain reply lines
    long long now_us_ = 0; // steady clock in microseconds: a delay of 1 ms is 1 ms, not 1 to 2
    std::uint32_t jitter_state_ = 12345u;
};

} // namespace brennic::testserver
