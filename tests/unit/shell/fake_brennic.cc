#include "tests/unit/shell/fake_brennic.h"

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
    if (!a.ret) return 0;
    r->sent = 1;
    for (const auto &l : a.lines)
        if (on_line) on_line(r->id, l.c_str());
    if (a.text) {
        r->text = dup(*a.text);
        r->ok = a.text->rfind("+OK", 0) == 0;
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

int brennic_poll(brennic_result **result) {
    *result = nullptr;
    return 0;
}

} // extern "C"
