// The exported C interface: thin wrappers over the library's own functions, which are all
// noexcept, so nothing thrown can cross this boundary. A null text is read as an empty one.
#include <cstddef>
#include <type_traits>

#include "base/diag.h"
#include "base/notice.h"
#include "base/text.h"
#include "brennic.h"
#include "lib/state.h"

// Callers compiled elsewhere depend on this layout.
static_assert(std::is_standard_layout_v<brennic_result>);
static_assert(offsetof(brennic_result, sent) == 0);
static_assert(offsetof(brennic_result, ok) > offsetof(brennic_result, sent));
static_assert(offsetof(brennic_result, id) > offsetof(brennic_result, ok));
static_assert(offsetof(brennic_result, failed) > offsetof(brennic_result, id));
static_assert(offsetof(brennic_result, user) > offsetof(brennic_result, failed));
static_assert(offsetof(brennic_result, aux) > offsetof(brennic_result, user));
static_assert(offsetof(brennic_result, text) > offsetof(brennic_result, aux));
static_assert(offsetof(brennic_result, on_line) > offsetof(brennic_result, text));
static_assert(offsetof(brennic_result, host) > offsetof(brennic_result, on_line));
static_assert(offsetof(brennic_result, reserved) > offsetof(brennic_result, host));
static_assert(offsetof(brennic_result, next) > offsetof(brennic_result, reserved));
static_assert(offsetof(brennic_result, user) == 4 * sizeof(std::int32_t));
static_assert(sizeof(brennic_result) == offsetof(brennic_result, next) + sizeof(void *));

static_assert(BRENNIC_HOST_CLOSED == brennic::kHostClosed &&
              BRENNIC_HOST_OPEN == brennic::kHostOpen &&
              BRENNIC_HOST_FAILED == brennic::kHostFailed);
static_assert(BRENNIC_NOTICE_REFUSED == brennic::kNoticeRefused &&
              BRENNIC_NOTICE_SECRET_WRITE == brennic::kNoticeSecretWrite);

using brennic::or_empty;

namespace {

// Whether some host has an open link with a socket to wait on.
bool any_link_open() {
    for (int i = 0; i < brennic::host_count && i < brennic::kMaxHosts; ++i)
        if (brennic::link_usable(&brennic::hosts[i]) && brennic::hosts[i].sock >= 0) return true;
    return false;
}

} // namespace

extern "C" {

BRENNIC_EXPORT int brennic_init(const char *host_list, const char *secret_path,
                                brennic_log_fn log) {
    return brennic::init_library(or_empty(host_list), or_empty(secret_path), log);
}

BRENNIC_EXPORT int brennic_close(void) { return brennic::close_library(); }

BRENNIC_EXPORT brennic_result *brennic_new(void) { return brennic::new_result(); }

BRENNIC_EXPORT int brennic_free(brennic_result **result) {
    if (result == nullptr) return 0;
    return brennic::free_result(result);
}

BRENNIC_EXPORT int brennic_check(int id, const char *user, const char *password,
                                 brennic_result **result) {
    if (result == nullptr) return 0;
    return brennic::request_check(id, or_empty(user), or_empty(password), result);
}

BRENNIC_EXPORT int brennic_lookup(int id, const char *user, brennic_result **result) {
    if (result == nullptr) return 0;
    return brennic::request_lookup(id, or_empty(user), result);
}

BRENNIC_EXPORT int brennic_set(int id, const char *user, const char *password,
                               const char *attributes, brennic_result **result) {
    if (result == nullptr) return 0;
    return brennic::request_set(id, or_empty(user), password, or_empty(attributes), result);
}

BRENNIC_EXPORT int brennic_mod(int id, const char *user, const char *password,
                               const char *attributes, brennic_result **result) {
    if (result == nullptr) return 0;
    return brennic::request_mod(id, or_empty(user), password, or_empty(attributes), result);
}

BRENNIC_EXPORT int brennic_del(int id, const char *user, brennic_result **result) {
    if (result == nullptr) return 0;
    return brennic::request_del(id, or_empty(user), result);
}

BRENNIC_EXPORT int brennic_search(int id, const char *text, brennic_line_fn on_line,
                                  brennic_result **result) {
    if (result == nullptr) return 0;
    return brennic::request_search(id, or_empty(text), on_line, result);
}

BRENNIC_EXPORT int brennic_poll(brennic_result **result) {
    if (result == nullptr) return 0;
    return brennic::poll_results(result);
}

BRENNIC_EXPORT int brennic_set_timeout(int ms) {
    if (ms < 0) return 0;
    brennic::request_timeout_ms = ms;
    return 1;
}

BRENNIC_EXPORT int brennic_set_log_level(int min_level) {
    if (min_level < brennic::kLevelDebug || min_level > brennic::kLevelError) return 0;
    brennic::set_log_level(min_level);
    return 1;
}

BRENNIC_EXPORT int brennic_set_notice_fn(brennic_notice_fn fn) {
    brennic::set_notice_callback(fn);
    return 1;
}

BRENNIC_EXPORT int brennic_host_state(int index, char *name, int name_size, int *port, int *state,
                                      int64_t *seconds_since_attempt) {
    return brennic::describe_host(index, name, name_size, port, state, seconds_since_attempt);
}

BRENNIC_EXPORT int brennic_result_host(const brennic_result *result) {
    if (result == nullptr) return -1;
    return brennic::host_index(result->host);
}

BRENNIC_EXPORT int brennic_batch(int on) {
    brennic::set_batching(on);
    return 1;
}

BRENNIC_EXPORT int brennic_wait(int ms) {
    // A result held or flagged, or a line already cut off a host's buffer, is taken by the
    // next poll without the socket, which may have nothing more to say.
    if (brennic::result_ready() || brennic::line_waiting()) return 1;
    if (!any_link_open()) return 0;
    return brennic::wait_open_links(ms < 0 ? 0 : ms);
}

} // extern "C"
