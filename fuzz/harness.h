// The fuzz harnesses. Each one takes one input, drives it through the real code with its own
// fakes in place, checks what must hold whatever the input (a violation prints the target,
// the check and the input size on standard error and aborts), and leaves no state behind.
// The libFuzzer entry points call them; the regression tests replay saved inputs through the
// very same functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brennic::fuzz {

// Response reader: bytes from a server, cut into receives of a fuzzer-chosen size and
// optionally enciphered first, read through fill_inbuf, read_reply and poll_results with a
// few results pending.
//   byte 0  receive size (see chunk_size)
//   byte 1  bit 0: encipher the payload with the link's keystream before it is received
//           bits 1-2: end of the stream: 0 and 3 nothing more to read, 1 closed by the
//           server, 2 connection reset
//           bits 3-4: one to four pending results
//           bit 5: the first result belongs to no host
//           bits 6-7: index of the result that has a line callback (none when past the
//           last one)
//   byte 2  keystream seed (signed)
//   byte 3  ids of the results, two bits each: -1, 0, 5, 2147483647
//   rest    the payload
int reader_one(const std::uint8_t *data, std::size_t size);

// What the last reader_one saw, for the regression tests.
struct reader_outcome {
    struct collected {
        std::int32_t id;
        std::int32_t ok;
        std::int32_t failed;
        std::string text;
    };
    std::vector<collected> results; // in the order poll_results handed them back
    std::vector<std::string> lines; // every text given to the line callback
    int still_pending = 0;          // results never collected
    bool link_open = false;         // the link after the last poll
};
const reader_outcome &last_reader_outcome();

// Handshake reply: byte 0 is the length of the one receive (255: the whole rest), the rest
// the bytes received.
int handshake_one(const std::uint8_t *data, std::size_t size);

// Host lists and host texts.
//   byte 0  bits 0-1: where every link setup stops: 0 no socket, 1 connect refused, 2 the
//           handshake line not sent, 3 the handshake reply below is received
//           bit 2: host names resolve (to 10.1.2.3)
//           bit 3: a readable secret file
//           bit 4: a second brennic_init with the same list
//   byte 1  length of the host list, times 5
//   ...     the host list
//   byte    length of the handshake reply
//   ...     the handshake reply
//   rest    a host text for port_of_entry and tcp_open, a NUL, then a bind address text
int hosts_one(const std::uint8_t *data, std::size_t size);

// What the last hosts_one saw, for the regression tests.
struct hosts_outcome {
    std::vector<std::string> names; // the table after the (last) brennic_init
    int attempts = 0;               // link setups that began
    int connects = 0;               // connect calls, direct tcp_open included
    int open_links = 0;             // hosts with an established link
    std::vector<int> ports;         // port of every connect, in order
};
const hosts_outcome &last_hosts_outcome();

// Header tokens: byte 0 the capacity of the token array (0 to 63), byte 1 the number of
// delimiter characters (0 to 7) that follow, the rest the line.
int header_tokens_one(const std::uint8_t *data, std::size_t size);

// Secret file: the whole input is the file's content; the same bytes also serve as a file
// name for system_dir_file.
int secret_file_one(const std::uint8_t *data, std::size_t size);

// Shell: everything up to the first NUL is standard input, read in lines as the console reads
// them; after it come the answers of a stand-in library, consumed one call at a time:
//   answer byte: bits 0-1 zero: the call refuses (returns 0)
//                bits 2-3: reply text 0 none, 1 empty, 2 and 3 a text (length byte below)
//                bit 4 (with bit 5): no record is handed back
//                bits 6-7: number of reply lines a search hands to its line callback (none:
//                as when the link failed)
//   text:        length byte b < 240: the next b bytes; b >= 240: the next 16 bytes repeated
//                up to (b - 239) * 2000 characters, at most 19900 as the library gives
// With no answer left, a call succeeds with the reply text "+OK".
int shell_one(const std::uint8_t *data, std::size_t size);

// What the last shell_one printed, for the regression tests.
struct shell_outcome {
    std::string output;
    int library_calls = 0;
    int records_live = 0; // records handed out and never released
};
const shell_outcome &last_shell_outcome();

} // namespace brennic::fuzz
