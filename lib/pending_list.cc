// Result records and the pending list rlist: newest first, singly linked through next.
// The list borrows records; their owners release them.
#include <cstdlib>
#include <cstring>

#include "diag.h"
#include "net/tcp.h"
#include "state.h"

namespace brennic {
namespace {

// Walks the list holding the link that points at the current record and takes out the
// first record that matches, logging each step.
template <typename Match> brennic_result *take_out_first(Match match) {
    log_info("rlits = %p\n", static_cast<void *>(&rlist));
    for (brennic_result **link = &rlist; *link != nullptr; link = &(*link)->next) {
        brennic_result *r = *link;
        if (match(r)) {
            log_info("freeid, point %p to %p", static_cast<void *>(link),
                     static_cast<void *>(r->next));
            *link = r->next; // the record keeps its own next
            return r;
        }
        log_info("nextone = %p->%p\n", static_cast<void *>(r), static_cast<void *>(&r->next));
    }
    return nullptr;
}

} // namespace

char *dup_text(const char *text) {
    const std::size_t length = std::strlen(text);
    auto *copy = static_cast<char *>(seams.alloc_zeroed(length + 1));
    if (copy != nullptr) std::memcpy(copy, text, length);
    return copy;
}

brennic_result *new_result() noexcept {
    auto *r = static_cast<brennic_result *>(seams.alloc_zeroed(sizeof(brennic_result)));
    log_info("Allocated new result %p \n", static_cast<void *>(r));
    if (r != nullptr) std::memset(r, 0, sizeof *r);
    return r;
}

int free_result(brennic_result **result) noexcept {
    brennic_result *r = *result;
    log_info("brennic_Free (%p)", static_cast<void *>(r));
    if (r == nullptr) return 0;
    // The list never holds released memory, whichever path handed the record over.
    unlink_result(r);
    std::free(r->user);
    std::free(r->aux);
    std::free(r->text);
    std::free(r);
    *result = nullptr;
    return 1;
}

bool unlink_result(brennic_result *result) {
    for (brennic_result **link = &rlist; *link != nullptr; link = &(*link)->next) {
        if (*link == result) {
            *link = result->next;
            return true;
        }
    }
    return false;
}

int find_failed(brennic_result **out) {
    for (brennic_result *r = rlist; r != nullptr; r = r->next) {
        if (r->failed != 0) {
            *out = r;
            return 1;
        }
    }
    return 0;
}

int mark_host_failed(brennic_host *host) {
    if (host->sock != kNoSocket) close_socket(host->sock);
    host->sock = kNoSocket;
    host->open = 0;
    for (brennic_result *r = rlist; r != nullptr; r = r->next) {
        if (r->host == host) {
            r->failed = 1;
            log_info("Set failed %p %p %d\n", static_cast<void *>(r), static_cast<void *>(r->next),
                     static_cast<int>(r->failed));
        }
    }
    return 1;
}

brennic_result *find_by_id(std::int32_t id) {
    for (brennic_result *r = rlist; r != nullptr; r = r->next)
        if (r->id == id) return r;
    return nullptr;
}

brennic_result *freeid(std::int32_t id) {
    return take_out_first([id](const brennic_result *r) { return r->id == id; });
}

bool take_out(brennic_result *result) {
    return take_out_first([result](const brennic_result *r) { return r == result; }) != nullptr;
}

} // namespace brennic
