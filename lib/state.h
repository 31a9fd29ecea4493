// The library's global state (the host table and the secret path, defined in lib/state.cc;
// the pending list has a header of its own, lib/pending_list.h) and the internal operations
// that work on them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "brennic.h"
#include "lib/cipher/keystream.h"
#include "lib/hooks.h"
#include "lib/limits.h"
#include "lib/pending_list.h"

// One configured server with its link. Declared at global scope because the open record
// brennic_result refers to it by this name.
struct brennic_host {
    char name[brennic::kHostNameSize]; // entry text, at most 200 characters stored
    int sock = -1;                     // connected socket, or -1
    char inbuf[brennic::kInbufSize];   // deciphered bytes not yet cut into lines
    std::int32_t inlen;                // bytes held in inbuf
    std::int32_t open;                 // 1 while the enciphered link is established
    std::int64_t last_try;             // seconds: when link setup last began
    brennic::mt_ptr rx;                // deciphers received bytes
    brennic::mt_ptr tx;                // enciphers sent bytes
    std::int32_t scanned;              // leading bytes of inbuf known to hold no LF
    std::int32_t discarding;           // 1 while the rest of a thrown-away line is dropped
    std::int32_t setup_failed;         // 1 when the last link setup failed
    std::int32_t corked;               // 1 while sends are held for a batch (brennic_batch)
    std::int64_t received;             // bytes received over all its links, never reset
    std::int64_t failed_at;            // seconds: when the last failed link setup ended
};

namespace brennic {

// Global state, zero at start (every sock -1).
extern brennic_host hosts[kMaxHosts];
extern std::int32_t host_count;
extern std::int32_t current_host;
extern char secret_path[kSecretPathMax + 1];
// Deadline of each blocking request and link setup in milliseconds; 0: the built-in limits.
extern std::int32_t request_timeout_ms;
// 1 between brennic_batch(1) and brennic_batch(0): links hold what is sent.
extern std::int32_t batching;
// When the deadline of the running call (a request, or brennic_init's link setup) passes, on
// hooks.clock_ms; 0 while none runs.
extern std::int64_t deadline_ms;

// Starts the deadline of a call when one is set (request_timeout_ms > 0), measured from now.
void start_deadline();
inline void end_deadline() { deadline_ms = 0; }
// A time limit cut to what is left of the running call's deadline (0 once it has passed).
int within_deadline(int limit_ms);
bool deadline_passed();

// Back to the state of a fresh process, for tests: closes every socket, releases every
// generator, empties the table and forgets the pending list (whose records belong to
// their owners), and restores the hooks.
void reset_library();

// A link is usable only with both generators: a line is never sent or read without them.
inline bool link_usable(const brennic_host *host) {
    return host->open != 0 && host->rx && host->tx;
}

// Host table and lifecycle.
int init_library(const char *host_list, const char *secret_file, brennic_log_fn log) noexcept;
int close_library() noexcept;
inline constexpr int kHostClosed = 0;
inline constexpr int kHostOpen = 1;
inline constexpr int kHostFailed = 2;
// What brennic_host_state reports of configured host index; 0 when there is none.
int describe_host(int index, char *name, int name_size, int *port, int *state,
                  std::int64_t *seconds_since_attempt) noexcept;
// Index of host in the table, or -1 when it is not a configured host.
int host_index(const brennic_host *host) noexcept;

// Links (lib/link_setup.cc).
int open_link(brennic_host *host);
// Sets the links of count hosts up at the same time: their connects and handshakes share one
// wait, and the diagnostics of each host are given host by host, in table order, as one
// setup after another would give them. Returns the number of links opened.
int open_links(brennic_host *const *list, int count);
// Closes the host's socket, if any, and marks its link not open.
void end_link(brennic_host *host);
// Ends the link and flags every pending result of the host as failed.
int mark_host_failed(brennic_host *host);

// Dispatch and failover (lib/dispatch.cc, which states the whole failover rule).
void send_cmd(std::int32_t id, const char *user, const char *request, brennic_result *result);
// brennic_batch: on holds the lines sent on each link from then on; off lets them go.
void set_batching(int on);
int send_cmd_host(brennic_host *host, std::int32_t id, const char *request, brennic_result *result);
// A result came back failed: the next request goes to the next host in the table.
void next_host_after_failure();
// Whether a request, answered or given up, is sent once more with a fresh record.
bool send_again(const brennic_result *result, bool resent, bool lines_handed);

// Receiving (lib/receive.cc): bytes into a host's buffer, complete lines off its front.
int fill_inbuf(brennic_host *host);
int take_line(brennic_host *host, char *line);
bool line_ready(brennic_host *host); // a line can be taken without receiving
bool line_waiting();                 // some open host holds a line ready to take

// Matching replies to pending results, and poll (lib/reader.cc).
int read_reply(brennic_host *host, brennic_result **out);
// brennic_poll: a held result first (lib/pending_list.h), else collect_result.
int poll_results(brennic_result **out) noexcept;
// One finished result, leaving the held ones: a flagged one first, else a final reply read.
int collect_result(brennic_result **out) noexcept;
// Before result's request is written to host: takes in what the socket holds, drops the lines
// no pending request of the host can take, and notes where the request goes out in the
// host's stream. 0 when the link turned out lost (the host is then marked failed).
int settle_before_send(brennic_host *host, brennic_result *result);

// The blocking wait (lib/wait.cc).
int wait_for_id(std::int32_t id);
void reset_wait_spin(); // spinning back on, as in a fresh process
// The idle wait between polls unless a test replaced it: up to ms for any open host's
// socket to become readable.
int wait_open_links(int ms);

// Request operations: 0 when set or mod refuse before sending (or no record could be
// had), else 1. The new record is stored through out before anything is sent.
int request_check(std::int32_t id, const char *user, const char *password,
                  brennic_result **out) noexcept;
int request_lookup(std::int32_t id, const char *user, brennic_result **out) noexcept;
int request_set(std::int32_t id, const char *user, const char *password, const char *attributes,
                brennic_result **out) noexcept;
int request_mod(std::int32_t id, const char *user, const char *password, const char *attributes,
                brennic_result **out) noexcept;
int request_del(std::int32_t id, const char *user, brennic_result **out) noexcept;
int request_search(std::int32_t id, const char *text, brennic_line_fn on_line,
                   brennic_result **out) noexcept;

} // namespace brennic
