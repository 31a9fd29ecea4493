// The host table and the library lifecycle: brennic_init fills the table from a host list
// and opens a link to every host; brennic_close closes the sockets.
#include <cstring>

#include "base/diag.h"
#include "base/text.h"
#include "lib/protocol.h"
#include "lib/state.h"
#include "net/tcp.h"

namespace brennic {
namespace {

bool is_delimiter(char c) { return c == ',' || c == ' '; }

// Takes over record hosts[host_count] for a new entry. A link still held by the record is
// ended as a failed link, so its pending results come back flagged and its generators are
// released; a line is never handled without the generators of its own link.
void refill_record(brennic_host *host, const char *entry, std::size_t length) {
    if (host->open != 0 || host->sock != kNoSocket) mark_host_failed(host);
    host->rx.reset();
    host->tx.reset();
    char copy[kHostListMax + 1];
    std::memcpy(copy, entry, length);
    copy[length] = '\0';
    char name[kHostNameMax + 1];
    copy_bounded(name, copy, kHostNameMax);
    // The hold-off after a failed setup belongs to the server that failed: a record that named
    // one server and now names another may try it at once.
    if (host->name[0] != '\0' && std::strcmp(name, host->name) != 0) {
        host->setup_failed = 0;
        host->failed_at = 0;
        host->last_try = 0;
    }
    copy_bounded(host->name, name, kHostNameMax);
}

} // namespace

int init_library(const char *host_list, const char *secret_file, brennic_log_fn log) noexcept {
    set_log_callback(log);

    char list[kHostListMax + 1];
    copy_bounded(list, host_list, kHostListMax);

    const std::int32_t old_count = host_count;
    host_count = 0;
    // All entries are recorded before the first link is set up.
    const char *p = list;
    while (*p != '\0' && host_count < kMaxHosts) {
        while (is_delimiter(*p))
            ++p;
        if (*p == '\0') break;
        const char *start = p;
        while (*p != '\0' && !is_delimiter(*p))
            ++p;
        brennic_host *host = &hosts[host_count];
        refill_record(host, start, static_cast<std::size_t>(p - start));
        ++host_count;
        log_info("Found host (%.*s)", kHostNameMax, host->name);
    }
    // A record the new list no longer reaches is ended too: nothing would ever read or close
    // its link again, so its pending results would never come back and its socket would
    // outlive brennic_close.
    for (std::int32_t i = host_count; i < old_count && i < kMaxHosts; ++i) {
        if (hosts[i].open != 0 || hosts[i].sock != kNoSocket) mark_host_failed(&hosts[i]);
        hosts[i].rx.reset();
        hosts[i].tx.reset();
    }
    if (current_host >= host_count || current_host < 0) current_host = 0;

    copy_bounded(secret_path, secret_file, kSecretPathMax);

    // Every link is set up at once, within the deadline when one is set: start-up costs the
    // slowest host, not the sum of them.
    brennic_host *table[kMaxHosts];
    for (int i = 0; i < host_count; ++i)
        table[i] = &hosts[i];
    start_deadline();
    open_links(table, host_count);
    end_deadline();
    return 1;
}

int describe_host(int index, char *name, int name_size, int *port, int *state,
                  std::int64_t *seconds_since_attempt) noexcept {
    if (index < 0 || index >= host_count || index >= kMaxHosts) return 0;
    const brennic_host &host = hosts[index];
    if (name != nullptr && name_size > 0) {
        // The host part of the entry: without its ":port", and without the brackets of an
        // IPv6 address.
        const char *port_text = nullptr;
        split_host_entry(host.name, name, static_cast<std::size_t>(name_size), &port_text);
    }
    const int entry_port = port_of_entry(host.name, kDefaultPort);
    if (port != nullptr) *port = entry_port;
    if (state != nullptr)
        *state = link_usable(&host) ? kHostOpen : host.setup_failed ? kHostFailed : kHostClosed;
    // An entry without a valid port is never connected: no setup of it ever began.
    if (seconds_since_attempt != nullptr)
        *seconds_since_attempt =
            host.last_try == 0 || entry_port == 0 ? -1 : hooks.now() - host.last_try;
    return 1;
}

int host_index(const brennic_host *host) noexcept {
    for (int i = 0; i < host_count && i < kMaxHosts; ++i)
        if (host == &hosts[i]) return i;
    return -1;
}

// The links stay marked open: the next request or poll finds the socket gone and ends the
// link as failed, so that its pending results come back.
int close_library() noexcept {
    for (int i = 0; i < host_count; ++i) {
        close_socket(hosts[i].sock);
        hosts[i].sock = kNoSocket;
    }
    return 1;
}

} // namespace brennic
