// Server, datagram and capture utilities of the socket layer. The client library uses none
// of them except sleep_ms (declared in net/tcp.h); they serve servers and tools.
// This header includes no socket headers: address families and socket types are passed as
// plain integers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/diag.h" // BRENNIC_PRINTF
#include "net/tcp.h"

namespace brennic {

struct event_socket;

// Event-loop callbacks; their results are ignored.
using event_callback = int (*)(event_socket *entry, void *context);

// One entry of the event loop's list, owned by the caller. The caller may wrap it in a larger
// record of its own; the loop touches only these fields.
struct event_socket {
    std::int32_t fd;          // the entry's socket; -1 skips the entry
    std::int32_t want_write;  // nonzero: watch for writability too
    void *context;            // handed unchanged to both callbacks
    event_callback on_read;   // readable or exceptional condition
    event_callback on_write;  // writable, when want_write is set
    event_socket *next_entry; // null ends the list
};

// One pass of the event loop over list: waits (100 ms, or the one-shot limit of set_next_wait)
// and calls the callbacks of the ready entries. Returns 0. A failed wait reports the bad
// sockets and ends the process with status 3.
//
// Callbacks and the list: the pass reads an entry's next_entry before calling its callbacks,
// so a callback may unlink or release its own entry, under one rule: after on_read returns,
// the pass looks at the entry again only when it was watched for writing and found writable
// before on_read ran. So on_read may release its entry when want_write is 0; an entry that
// watches for writing is released in on_write (or on_read sets want_write to 0 in an earlier
// pass). A callback may close its socket and set fd to -1: that entry then gets no on_write in
// this pass. Callbacks must not release other entries of the list.
int run_event_pass(event_socket *list);

// Arms a one-shot wait limit for the next pass; 0 or a negative value changes nothing.
// Returns 1.
int set_next_wait(int ms);

// Hooks around the event loop's wait. They do nothing.
int before_wait_hook(int unused);
int after_wait_hook(int unused);
void idle_hook();
void loop_end_hook();

// Clears every ready flag, waits at most ms for the first 64 sockets that are not -1 to be
// readable, and sets ready[i] to 1 for those that are. 1 when any is readable, else 0.
int select_sockets(const int *sockets, int count, int *ready, int ms);

// Creates a socket (family, type), binds it to local_name:local_port (any address when the
// name is null or empty) and, when remote_name is not empty, connects it to
// remote_name:remote_port. The socket, or -1 with a message.
int socket_create(int family, int type, const char *local_name, int local_port,
                  const char *remote_name, int remote_port);

// socket_create for an IPv4 datagram socket.
int udp_create(const char *local_name, int local_port, const char *remote_name, int remote_port);

// tcp_open without waiting for the connect: the socket, connected or still connecting, or -1.
int tcp_open_async(const char *host, int port, const char *bind_address);

// Joins the multicast group on the interface (any interface when interface_name is null).
// 1 on success, 0 with a message on failure.
int join_group(int sock, const char *interface_name, const char *group_name);

// A TCP socket listening on port on every address, or -1. The port is held as hold_port
// (net/server_calls.h) says.
int open_listener(int port);

// One accepted connection, or -1.
int accept_client(int listening);

// Reads one line a byte at a time into buffer (size bytes, terminator included). The byte
// before the LF is taken as CR and dropped; a lone LF gives an empty line. A line that does
// not fit is cut after size - 1 bytes and its rest is read as the next line. 1 when a line was
// read, 0 when the connection ended or failed (or size is below 2).
int read_line_bytewise(int sock, char *buffer, std::size_t size);

// One send: the count sent when positive, 0 when it would block, -1 otherwise.
int send_some(int sock, const char *bytes, int length);

// Formats into 7000 characters and sends with send_captured. 1 when the whole formatted text
// was sent, else 0 (a text cut to fit is never whole).
int send_printf(int sock, const char *format, ...) BRENNIC_PRINTF(2, 3);

// Appends the bytes to "raw.dat" in the working directory, then sends them once. Returns the
// send's result. The file is opened as net/capture_file.h says (on POSIX created owner-only
// and written only when it is a regular file of the effective user, reached without a
// symbolic link; on Windows never a reparse point); otherwise, or when it cannot be opened,
// the bytes are still sent, with an error logged.
int send_captured(int sock, const char *bytes, int length);

// Capacity of pending_out.
inline constexpr int kPendingOutSize = 20000;

// Bytes waiting for send_pending, and their count.
extern char pending_out[kPendingOutSize];
extern std::int32_t pending_len;

// Sends pending_out until all is sent or a send fails, then empties it either way.
void send_pending(int sock);

// flag nonzero leaves coalescing on, zero switches it off (no delay). Returns 1.
int set_nagle(int sock, int flag);

// Lingers 60 seconds on close. Returns 1; a refusal is logged.
int set_linger(int sock);

// Cuts line in place into tokens separated by characters of delimiters; a token may be
// quoted with double quotes (a backslash-quote pair stays in it). tokens holds capacity
// pointers: at most capacity - 5 tokens are stored, then a null. Returns the token count.
int split_header_line(char *line, char **tokens, const char *delimiters, int capacity);

// IPv4 address of host in network byte order: 0 for an empty text, a dotted text converted
// unchecked (255.255.255.255 when invalid), a name looked up (0 with a message when unknown).
std::uint32_t lookup_ipv4(const char *host);

// The local host name in a static buffer, empty when unavailable.
const char *local_host_name();

// How many TCP sockets can be open at once, at most 300. Leaves none open.
int count_openable_sockets();

// "%2x " of each byte (the first 666 of longer input) in a static buffer.
const char *hex_dump(const void *bytes, int length);

// A heap copy of text (the caller frees it), or null when text is null or memory is exhausted.
char *dup_string(const char *text);

// Ends the process with status 3, streams flushed.
[[noreturn]] void fatal_exit();

} // namespace brennic
