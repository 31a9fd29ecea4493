/*
 * brennic.h - C interface of the brennic directory client library.
 *
 * Conventions
 *  - Call brennic_init first; every other function, brennic_new and brennic_free included,
 *    reports diagnostics through the log callback given there.
 *  - Functions return 1 for success and 0 for failure unless said otherwise.
 *  - Text arguments are read-only, NUL-terminated, and copied or formatted before the call
 *    returns.
 *  - The caller owns every brennic_result. A request operation stores a new record through
 *    its last argument before it sends anything; release it only with brennic_free, which
 *    frees `user`, `aux` and `text` with free() and sets the caller's pointer to NULL.
 *  - A negative request id blocks until the reply has arrived or the wait has given up;
 *    then `text` may still be NULL, so test it before use. A zero or positive id returns
 *    once the request is sent; collect the record later with brennic_poll.
 *  - Replies are matched to records by id; with several pending records of one id, the most
 *    recently sent one is matched first.
 *  - The library is single-threaded. Callbacks run on the caller's thread inside library
 *    calls and must never call back into the library.
 *  - Calling order: brennic_init, any number of requests and polls, brennic_close.
 */
#ifndef BRENNIC_H
#define BRENNIC_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(BRENNIC_BUILDING)
#define BRENNIC_EXPORT __declspec(dllexport)
#else
#define BRENNIC_EXPORT __declspec(dllimport)
#endif
#else
#define BRENNIC_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Diagnostic callback: level 1 debug, 2 info, 3 error; text is one line without CR or LF,
 * valid only during the call. The result is ignored. */
typedef int (*brennic_log_fn)(int level, const char *text);

/* Reply-line callback: the request id and the reply line after its id, valid only during
 * the call. The result is ignored. */
typedef int (*brennic_line_fn)(int id, const char *line);

struct brennic_host;

/* One request and, once answered, its result. Allocated zero-filled by brennic_new. */
typedef struct brennic_result {
    int32_t sent;                /* 1 once the request was handed to the dispatcher */
    int32_t ok;                  /* 1 when the final reply line began with "+OK" */
    int32_t id;                  /* the caller's request id, written into the request line */
    int32_t failed;              /* 1 when the link of `host` failed while pending */
    char *user;                  /* owned copy of the user name ("search" for searches) */
    char *aux;                   /* never set by the library; freed by brennic_free if set */
    char *text;                  /* owned final reply line, without id and CR/LF; or NULL */
    brennic_line_fn on_line;     /* called for every reply line of this request, or NULL */
    struct brennic_host *host;   /* borrowed: the server the request was last sent to */
    int32_t reserved[2];         /* always zero */
    struct brennic_result *next; /* link of the library's pending list */
} brennic_result;

/* Stores the log callback, reads the host list (names or addresses, each optionally
 * followed by ":port", separated by commas or spaces; at most five) and the secret-file
 * path (empty: the default file), and opens a link to every host. Returns 1. */
BRENNIC_EXPORT int brennic_init(const char *host_list, const char *secret_path, brennic_log_fn log);

/* Closes every host's socket. Returns 1. */
BRENNIC_EXPORT int brennic_close(void);

/* A new zero-filled record, not pending. */
BRENNIC_EXPORT brennic_result *brennic_new(void);

/* Releases *result and its texts and sets *result to NULL; 0 when *result was NULL. */
BRENNIC_EXPORT int brennic_free(brennic_result **result);

/* Request operations: 1 when a result was produced (its outcome is in the record), 0 when
 * the request was refused before sending: a CR or LF in any text that would go on the link
 * (it would end the request line there) is refused, and so is a user name or password of more
 * than 100 characters (it would be sent cut short), and what each operation says. */
BRENNIC_EXPORT int brennic_check(int id, const char *user, const char *password,
                                 brennic_result **result);
BRENNIC_EXPORT int brennic_lookup(int id, const char *user, brennic_result **result);
/* password may be NULL: "(NULL)" is sent in its place. An attribute text of more than
 * 18000 characters is refused. */
BRENNIC_EXPORT int brennic_set(int id, const char *user, const char *password,
                               const char *attributes, brennic_result **result);
BRENNIC_EXPORT int brennic_mod(int id, const char *user, const char *password,
                               const char *attributes, brennic_result **result);
BRENNIC_EXPORT int brennic_del(int id, const char *user, brennic_result **result);
/* The search text (at most 200 characters) is the whole request; on_line, when not NULL,
 * receives every reply line, intermediate and final. */
BRENNIC_EXPORT int brennic_search(int id, const char *text, brennic_line_fn on_line,
                                  brennic_result **result);

/* Collects one finished result: 1 and *result set when one was collected, else 0. */
BRENNIC_EXPORT int brennic_poll(brennic_result **result);

#ifdef __cplusplus
}
#endif

#endif /* BRENNIC_H */
