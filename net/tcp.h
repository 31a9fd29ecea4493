// TCP connect and socket primitives. A socket is a signed integer; -1 means none.
// This header includes no socket headers: callers outside net/ use only these functions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brennic {

inline constexpr int kNoSocket = -1;
inline constexpr std::int32_t kWouldBlock = 10035; // WSAEWOULDBLOCK
inline constexpr std::int32_t kInProgress = 10036; // WSAEINPROGRESS

// Opens a TCP connection to host (an entry as split_host_entry in base/text.h reads it, whose port
// replaces port), bound to bind_address when that is not empty. blocking_connect nonzero waits for
// the connect. A socket returned after a completed connect is non-blocking; one whose connect is
// still in progress leaves a would-block code in last_sock_error (10036 on POSIX, 10035 on
// Windows). -1 on failure.
int tcp_open(const char *host, int port, const char *bind_address, int blocking_connect);

// The outcome of a connect made without waiting, once its socket has become writable: 1 when
// it connected; 0 when it failed, with its error recorded in last_sock_error.
int connect_finished(int sock);

// Records the platform's timed-out error in last_sock_error: a wait that ran out.
void record_timed_out();

// One socket of a combined wait: readable, or (write nonzero) writable, which is how a
// connect made without waiting reports its end. ready is set by the wait.
struct socket_wait {
    int sock;
    int write;
    int ready;
};

// Waits up to ms for any of the entries to be ready in its direction; an error or a hang-up
// counts as ready. Sets every entry's ready; returns the number ready, 0 on time-out, -1
// when the wait itself failed.
int wait_sockets(socket_wait *entries, int count, int ms);

// A non-inheritable socket, or -1.
int make_socket(int family, int type, int protocol);

// Nonzero: blocking mode; zero: non-blocking mode. Returns the platform's result.
int set_blocking(int sock, int blocking);

// 1 when sock became readable within ms milliseconds, else 0.
int wait_readable(int sock, int ms);

// 1 when any of the count sockets (entries of -1 are skipped) became readable within ms
// milliseconds, else 0. With no socket to watch it sleeps ms milliseconds.
int wait_any_readable(const int *socks, int count, int ms);

// Non-blocking mode, wait up to ms for readability, one receive that never waits, blocking
// mode again. Returns the receive's result: byte count, 0 or -1. Writes no terminator.
int recv_timed(int sock, char *buffer, int length, int ms);

// One receive of at most length bytes into a buffer of length + 1; terminates after the
// bytes received. It never waits, whatever the socket's mode. Returns the count, 0 when
// nothing is waiting, -1 when it failed or the peer closed the connection.
int recv_some(int sock, char *buffer, int length);

// One send of length bytes (no SIGPIPE). Returns the platform's result (count or -1).
// Does not record the error: callers call record_sock_error.
int send_bytes(int sock, const char *bytes, int length);

// Sends all length bytes of a line: one send, and more only when a signal cut a waiting send
// short (a part sent, or nothing with EINTR), for at most ms milliseconds in all. Each send
// waits at most the socket's own send limit, socket_limit_ms (set_send_limit); when ms is
// shorter, the socket's limit is cut to ms for this line. Returns the count sent: length, or
// less (-1 when nothing went) when the link failed or the time ran out; sys.last_error() is the
// last send's.
int send_line(int sock, const char *bytes, int length, int ms, int socket_limit_ms);

// Limits how long one send on a blocking socket waits for room to ms milliseconds; a send
// that runs out of time returns what it sent, or -1. Bytes not yet sent are held to about
// queue_bytes (beyond what one send adds), so that a waiting send is woken as soon as that
// much has gone out, instead of when a third of a send buffer of megabytes has: the limit
// then bounds the wait for about one line's room, not for the server to read megabytes.
// Returns 1, or 0 when either setting failed.
int set_send_limit(int sock, int ms, int queue_bytes);
// With on, the socket holds what is sent until it is set off again (or a full segment is
// ready), so that request lines sent together leave together. Returns 1, or 0 when the
// setting failed (the lines then leave one by one).
int set_corked(int sock, int on);

// The local port sock is bound to, or -1.
int bound_port(int sock);

// Closes a socket; -1 is ignored.
void close_socket(int sock);

// Copies the platform's last socket error (as a Windows Sockets code, sys.last_error) into
// last_sock_error.
void record_sock_error();

// 1 when last_sock_error is 10035 or 10036.
int would_block();

// Starts the socket library asking for version 1.1 where the platform has one to start;
// nothing to do on POSIX.
void winsock_start();

// Sleeps; return 1.
int sleep_ms(int ms);
int sleep_seconds(int seconds);

} // namespace brennic
