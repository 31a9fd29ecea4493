#include "tests/unit/shell/fake_brennic.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fake {

state fake_state;

void reset() { fake_state = state{}; }

namespace {

char *dup(const std::string &s) {
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

// What the library does with a refusal: the notice callback, else the line on stdout.
void notify(const refusal &n) {
    const std::string line = "-DEAD Failed " + n.text;
    if (fake_state.notice)
        fake_state.notice(BRENNIC_NOTICE_REFUSED, n.host.c_str(), n.text.c_str(), line.c_str());
    else
        std::printf("%s\n", line.c_str());
}

int answer_request(call c, brennic_line_fn on_line, brennic_result **result) {
    brennic_result *r = brennic_new();
    *result = r;
    r->id = c.id;
    r->user = dup(c.op == "search" ? "search" : c.user);
    if (fake_state.on_call) fake_state.on_call(c);
    fake_state.calls.push_back(std::move(c));

    answer a{1, std::string("+OK"), {}, {}};
    if (!fake_state.answers.empty()) {
        a = fake_state.answers.front();
        fake_state.answers.pop_front();
    }
    for (const auto &l : a.logs)
        if (fake_state.log) fake_state.log(2, l.c_str());
    for (const auto &n : fake_state.request_refusals)
        notify(n);
    fake_state.request_refusals.clear();
    if (!a.ret) return 0;
    r->sent = 1;
    for (const auto &l : a.lines)
        if (on_line) on_line(r->id, l.c_str());
    if (a.text) {
        r->text = dup(*a.text);
        r->ok = a.text->rfind("+OK", 0) == 0;
        // As the library does: its failure text comes only with the failed flag.
        r->failed = a.text->rfind("-ERR brenniclib failed", 0) == 0;
    }
    return a.ret;
}

} // namespace
} // namespace fake

using fake::fake_state;

extern "C" {

int brennic_init(const char *host_list, const char *secret_path, brennic_log_fn log) {
    ++fake_state.init_calls;
    fake_state.init_hosts = host_list;
    fake_state.init_secret = secret_path;
    fake_state.log = log;
    for (const auto &l : fake_state.init_logs)
        if (log) log(2, l.c_str());
    for (const auto &n : fake_state.init_refusals)
        fake::notify(n);
    return fake_state.init_ret;
}

int brennic_close(void) { return 1; }

brennic_result *brennic_new(void) {
    ++fake_state.records_made;
    return static_cast<brennic_result *>(std::calloc(1, sizeof(brennic_result)));
}

int brennic_free(brennic_result **result) {
    if (!*result) {
        ++fake_state.null_frees;
        return 0;
    }
    std::free((*result)->user);
    std::free((*result)->aux);
    std::free((*result)->text);
    std::free(*result);
    *result = nullptr;
    ++fake_state.records_freed;
    return 1;
}

int brennic_check(int id, const char *user, const char *password, brennic_result **result) {
    return fake::answer_request({"check", id, user, std::string(password), "", false}, nullptr,
                                result);
}

int brennic_lookup(int id, const char *user, brennic_result **result) {
    return fake::answer_request({"lookup", id, user, std::nullopt, "", false}, nullptr, result);
}

int brennic_set(int id, const char *user, const char *password, const char *attributes,
                brennic_result **result) {
    return fake::answer_request({"set", id, user,
                                 password ? std::optional<std::string>(password) : std::nullopt,
                                 attributes, false},
                                nullptr, result);
}

int brennic_mod(int id, const char *user, const char *password, const char *attributes,
                brennic_result **result) {
    return fake::answer_request({"mod", id, user,
                                 password ? std::optional<std::string>(password) : std::nullopt,
                                 attributes, false},
                                nullptr, result);
}

int brennic_del(int id, const char *user, brennic_result **result) {
    return fake::answer_request({"del", id, user, std::nullopt, "", false}, nullptr, result);
}

int brennic_search(int id, const char *text, brennic_line_fn on_line, brennic_result **result) {
    return fake::answer_request({"search", id, text, std::nullopt, "", on_line != nullptr}, on_line,
                                result);
}

int brennic_set_timeout(int ms) {
    if (ms < 0) return 0;
    fake_state.timeout_ms = ms;
    return 1;
}

int brennic_set_log_level(int min_level) { return min_level >= 1 && min_level <= 3; }

int brennic_set_notice_fn(brennic_notice_fn fn) {
    ++fake_state.notice_calls;
    fake_state.notice = fn;
    return 1;
}

int brennic_host_state(int index, char *name, int name_size, int *port, int *state,
                       int64_t *seconds_since_attempt) {
    if (index < 0 || index >= static_cast<int>(fake_state.hosts.size())) return 0;
    const fake::host &h = fake_state.hosts[static_cast<std::size_t>(index)];
    if (name && name_size > 0)
        std::snprintf(name, static_cast<std::size_t>(name_size), "%s", h.name.c_str());
    if (port) *port = h.port;
    if (state) *state = h.state;
    if (seconds_since_attempt) *seconds_since_attempt = h.seconds;
    return 1;
}

int brennic_result_host(const brennic_result *result) {
    return result ? fake_state.result_host : -1;
}

int brennic_poll(brennic_result **result) {
    *result = nullptr;
    return 0;
}

// Answers come within the call: there is never a link to wait on.
int brennic_batch(int) { return 1; }
int brennic_wait(int) { return 0; }

} // extern "C"
