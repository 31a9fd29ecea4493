// Command-line options of the test server, including the fault modes used by tests.
#pragma once

#include <cstdint>
#include <string>

namespace brennic::testserver {

enum class handshake_mode {
    normal,   // "1 +ENCRYPT <N>"
    refuse,   // "1 -ERR handshake refused", then close
    one_byte, // a single byte, then nothing
    silent,   // never answer
};

struct server_options {
    int port = 0;          // 0: the system chooses; the port is printed
    std::string port_file; // when set, the chosen port is written there too
    std::string users_file;
    std::string secret_file;
    std::string transcript_file; // what clients sent, one event a line
    std::int32_t number = 42;    // N of the handshake reply
    bool check_hash = true;      // refuse a handshake whose remainder does not match
    int max_seconds = 600;       // the process ends by itself after this long
    bool quiet = false;

    handshake_mode handshake = handshake_mode::normal;
    int close_after = -1;      // close a connection when its request N+1 arrives
    int die_after = -1;        // end the process when request N+1 arrives (all links)
    int reset_at = -1;         // reset a connection (linger 0) at its request N
    int chunk_size = 0;        // send replies in pieces of this many bytes...
    int chunk_pause_ms = 0;    // ...with this pause between pieces
    bool unknown_id = false;   // answer with the id plus 1000
    int overlong_bytes = 0;    // a "+DATA" line of this many bytes before each reply
    bool nul_in_reply = false; // a "+DATA" line holding NUL bytes before each reply
    std::string wrong_user;    // name put in place of the user in final replies
    int garbage_bytes = 0;     // a junk line of this length ahead of a link's first reply
    int stall_ms = 0;          // take no bytes from a link this long after its handshake
    bool reply_twice = false;  // every final reply line is sent twice
    int hold = 0;              // replies to a link's first N requests wait for request N+1
    int reply_delay_ms = 0;    // every reply leaves this long after its request came
    int reply_jitter_ms = 0;   // plus 0 to this many ms more, varying per request
    int duplicate_every = 0;   // every Nth request of a link is answered twice
};

// Parses argv into opts. Returns false with a message in error on an unknown option or a
// missing or malformed value. "--help" sets help.
bool parse_options(int argc, char **argv, server_options &opts, bool &help, std::string &error);

const char *usage_text();

} // namespace brennic::testserver
