// The library's global state: the host table, the pending list and the secret path, and
// the internal operations that work on them.
#pragma once

#include <cstdint>
#include <ctime>

#include "brennic.h"
#include "cipher/keystream.h"
#include "constants.h"

// One configured server with its link. Declared at global scope because the open record
// brennic_result refers to it by this name.
struct brennic_host {
    char name[brennic::kHostNameSize];        // entry text, at most 200 characters stored
    int sock;                                 // connected socket, or -1
    char inbuf[brennic::kInbufSize];          // deciphered bytes not yet cut into lines
    std::int32_t inlen;                       // bytes held in inbuf
    std::int32_t open;                        // 1 while the enciphered link is established
    std::int64_t last_try;                    // seconds: when link setup last began
    brennic::mt_ptr rx;                       // deciphers received bytes
    brennic::mt_ptr tx;                       // enciphers sent bytes
};

namespace brennic {

// Global state, zero at start.
extern brennic_host hosts[kMaxHosts];
extern std::int32_t host_count;
extern std::int32_t current_host;
extern brennic_result *rlist;
extern char secret_path[kSecretPathMax + 1];

// Seams: the clock, the idle wait between polls, the handshake time limit and memory
// allocation. They default to the real thing; tests replace them to cross the protocol's
// timers without waiting and to inject failures.
struct library_seams {
    std::int64_t (*now)();               // calendar time in seconds
    void (*idle_wait)(int ms);           // wait up to ms for any open link to be readable
    int handshake_wait_ms;               // time limit of the handshake reply
    void *(*alloc_zeroed)(std::size_t);  // records and texts; nullptr when exhausted
};
extern library_seams seams;
void reset_seams();

// Host table and lifecycle.
int init_library(const char *host_list, const char *secret_file, brennic_log_fn log);
int close_library();

// Secure link setup.
int open_link(brennic_host *host);

// Result records and the pending list.
brennic_result *new_result();
int free_result(brennic_result **result);
int find_failed(brennic_result **out);
int mark_host_failed(brennic_host *host);
brennic_result *find_by_id(std::int32_t id);
brennic_result *freeid(std::int32_t id);
bool unlink_result(brennic_result *result); // takes out this very record; false if not linked
char *dup_text(const char *text);           // owned copy from alloc_zeroed, or nullptr

// Dispatch and failover.
void send_cmd(std::int32_t id, const char *user, const char *request, brennic_result *result);
int send_cmd_host(brennic_host *host, std::int32_t id, const char *request,
                  brennic_result *result);

// Response reader, poll and wait.
int fill_inbuf(brennic_host *host);
int take_line(brennic_host *host, char *line);
int read_reply(brennic_host *host, brennic_result **out);
int poll_results(brennic_result **out);
int wait_for_id(std::int32_t id);

} // namespace brennic
