// The library's global state: the host table, the pending list and the secret path, and
// the internal operations that work on them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "brennic.h"
#include "lib/cipher/keystream.h"
#include "lib/limits.h"

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
};

namespace brennic {

// Global state, zero at start (every sock -1).
extern brennic_host hosts[kMaxHosts];
extern std::int32_t host_count;
extern std::int32_t current_host;
extern brennic_result *rlist;
extern char secret_path[kSecretPathMax + 1];
// Deadline of each blocking request and link setup in milliseconds; 0: the built-in limits.
extern std::int32_t request_timeout_ms;

// A time limit cut to the deadline, when one is set.
inline int within_deadline(int limit_ms) {
    return request_timeout_ms > 0 && request_timeout_ms < limit_ms ? request_timeout_ms : limit_ms;
}

// Seams: the clock, the idle wait between polls, the handshake and send time limits and memory
// allocation. They default to the real thing; tests replace them to cross the protocol's
// timers without waiting and to inject failures.
struct library_seams {
    std::int64_t (*now)();              // calendar time in seconds
    std::int64_t (*clock_ms)();         // a steady clock in milliseconds
    int (*idle_wait)(int ms);           // wait up to ms for any open link to be readable;
                                        // 1 when one became readable
    int handshake_wait_ms;              // time limit of the handshake reply
    int send_wait_ms;                   // time limit of one send on a link
    void *(*alloc_zeroed)(std::size_t); // records and texts; nullptr when exhausted
    std::int64_t (*clock_ns)();         // a steady clock in nanoseconds, for the spin
    std::int64_t wait_spin_ns;          // longest spin of a blocking wait; 0: none
};
extern library_seams seams;
void reset_seams();

// Default idle wait: up to ms for any open host's socket to become readable.
int wait_open_links(int ms);

// Back to the state of a fresh process, for tests: closes every socket, releases every
// generator, empties the table and forgets the pending list (whose records belong to
// their owners), and restores the seams.
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

// Secure link setup.
int open_link(brennic_host *host);

// Result records and the pending list.
brennic_result *new_result() noexcept;
int free_result(brennic_result **result) noexcept;
int find_failed(brennic_result **out);
int mark_host_failed(brennic_host *host);
brennic_result *find_by_id(std::int32_t id);
brennic_result *freeid(std::int32_t id);
bool take_out(brennic_result *result);      // freeid by identity, with the same messages
bool unlink_result(brennic_result *result); // takes out this very record; false if not linked
char *dup_text(const char *text);           // owned copy from alloc_zeroed, or nullptr
// Without a log callback the pending list is answered from a side index that catches up
// with records linked at the head. A list emptied or replaced behind its back is indexed
// afresh; this releases the index at once (a reset of the list should call it).
void drop_pending_index();

// Dispatch and failover.
void send_cmd(std::int32_t id, const char *user, const char *request, brennic_result *result);
int send_cmd_host(brennic_host *host, std::int32_t id, const char *request, brennic_result *result);

// Response reader, poll and wait.
int fill_inbuf(brennic_host *host);
int take_line(brennic_host *host, char *line);
int read_reply(brennic_host *host, brennic_result **out);
int poll_results(brennic_result **out) noexcept;
int wait_for_id(std::int32_t id);
void reset_wait_spin(); // spinning back on, as in a fresh process

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
