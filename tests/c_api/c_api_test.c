/* The C interface used from C: records, a server that cannot be reached, refusals. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "brennic.h"

/* The open record's layout as callers compiled elsewhere see it. */
_Static_assert(offsetof(brennic_result, sent) == 0, "sent first");
_Static_assert(offsetof(brennic_result, failed) == 3 * sizeof(int32_t), "four flags");
_Static_assert(offsetof(brennic_result, user) == 16, "texts after the flags");
_Static_assert(offsetof(brennic_result, next) == sizeof(brennic_result) - sizeof(void *),
               "next last");

static const char *const kFailure = "-ERR brenniclib failed while talking to brennic server";

static int failures;
static int checks;
#define CHECK(cond)                                                                                \
    do {                                                                                           \
        ++checks;                                                                                  \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

static int found_host;
static int refused_connects;
static int bad_lines;
static int below_error; /* diagnostics of level 1 or 2 */

static int on_notice(int kind, const char *host, const char *text, const char *line) {
    (void)kind;
    (void)host;
    (void)text;
    (void)line;
    return 0;
}

static int on_log(int level, const char *text) {
    if (level < 3) ++below_error;
    if (strcmp(text, "Found host (127.0.0.1:1)") == 0 && level == 2) ++found_host;
    if (strncmp(text, "tcp_open failed (127.0.0.1:1) ", 30) == 0 && level == 3) ++refused_connects;
    if (strchr(text, '\n') != NULL || strchr(text, '\r') != NULL) ++bad_lines;
    return 0;
}

static int is_zero(const brennic_result *r) {
    static const brennic_result zero;
    return memcmp(r, &zero, sizeof zero) == 0;
}

int main(void) {
    brennic_result *r = NULL;
    char attrs[18002];

    CHECK(brennic_init("127.0.0.1:1", "", on_log) == 1);
    CHECK(found_host == 1);
    CHECK(refused_connects == 1);

    r = brennic_new();
    CHECK(r != NULL && is_zero(r));
    CHECK(brennic_free(&r) == 1);
    CHECK(r == NULL);
    CHECK(brennic_free(&r) == 0);

    /* Blocking: the failure text comes back after the one retry. */
    CHECK(brennic_check(-1, "bob", "pw", &r) == 1);
    CHECK(r != NULL && r->text != NULL && strcmp(r->text, kFailure) == 0);
    CHECK(r != NULL && r->ok == 0 && r->failed == 1 && r->id == -1);
    CHECK(r != NULL && r->user != NULL && strcmp(r->user, "bob") == 0);
    CHECK(brennic_result_host(r) == 0);
    CHECK(brennic_free(&r) == 1);
    CHECK(brennic_result_host(NULL) == -1);
    r = brennic_new();
    CHECK(brennic_result_host(r) == -1);
    CHECK(brennic_free(&r) == 1);

    /* The host table after a failed link setup; a short name buffer cuts the name. */
    {
        char name[16];
        int port = 0, state = -1;
        int64_t seconds = -2;
        CHECK(brennic_host_state(0, name, sizeof name, &port, &state, &seconds) == 1);
        CHECK(strcmp(name, "127.0.0.1") == 0 && port == 1);
        CHECK(state == BRENNIC_HOST_FAILED && seconds >= 0 && seconds < 60);
        CHECK(brennic_host_state(0, name, 4, NULL, NULL, NULL) == 1 && strcmp(name, "127") == 0);
        CHECK(brennic_host_state(1, name, sizeof name, &port, &state, &seconds) == 0);
        CHECK(brennic_host_state(-1, NULL, 0, NULL, NULL, NULL) == 0);
    }

    /* Settings: out-of-range values change nothing; level 3 keeps info lines away. */
    CHECK(brennic_set_timeout(-1) == 0);
    CHECK(brennic_set_timeout(0) == 1);
    CHECK(brennic_set_notice_fn(on_notice) == 1);
    CHECK(brennic_set_notice_fn(NULL) == 1);
    CHECK(brennic_set_log_level(0) == 0 && brennic_set_log_level(4) == 0);
    CHECK(brennic_set_log_level(3) == 1);
    below_error = 0;
    CHECK(brennic_del(-1, "bob", &r) == 1);
    CHECK(brennic_free(&r) == 1);
    CHECK(below_error == 0);
    CHECK(brennic_set_log_level(1) == 1);
    CHECK(brennic_del(-1, "bob", &r) == 1);
    CHECK(brennic_free(&r) == 1);
    CHECK(below_error > 0);

    /* Asynchronous: pending on return, collected by poll. */
    CHECK(brennic_lookup(5, "amy", &r) == 1);
    CHECK(r != NULL && r->text == NULL && r->id == 5);
    {
        brennic_result *out = NULL;
        int got = 0;
        int i;
        for (i = 0; i < 3 && !got; ++i)
            got = brennic_poll(&out);
        CHECK(got == 1 && out == r);
        CHECK(r != NULL && r->text != NULL && strcmp(r->text, kFailure) == 0);
        CHECK(brennic_poll(&out) == 0);
    }
    CHECK(brennic_free(&r) == 1);

    /* Refused before sending: a zero-filled record all the same. */
    memset(attrs, 'a', sizeof attrs - 1);
    attrs[sizeof attrs - 1] = '\0';
    CHECK(brennic_set(1, "bob", NULL, attrs, &r) == 0);
    CHECK(r != NULL && is_zero(r));
    CHECK(brennic_free(&r) == 1);

    CHECK(brennic_close() == 1);
    CHECK(brennic_close() == 1);
    CHECK(bad_lines == 0);

    printf("%d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
