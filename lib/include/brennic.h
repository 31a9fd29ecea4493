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
 *  - Replies are matched to records by id, among the records whose request went to the
 *    server the reply came from before the reply arrived; with several such records of one id,
 *    the most recently sent one is matched first.
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
#elif defined(BRENNIC_STATIC) /* linked with the library's objects rather than the DLL */
#define BRENNIC_EXPORT
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

/* Closes every host's socket. Results still pending stay with the library: the next
 * brennic_init ends their links, and brennic_poll hands each back once, failed. Returns 1. */
BRENNIC_EXPORT int brennic_close(void);

/* A new zero-filled record, not pending. */
BRENNIC_EXPORT brennic_result *brennic_new(void);

/* Releases *result and its texts and sets *result to NULL; 0 when *result was NULL, and 0
 * (nothing released) for the record whose line callback is running. */
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

/* Collects one finished result: 1 and *result set when one was collected, else 0. Results a
 * blocking request collected for other ids while it waited come first, in arrival order;
 * then a result whose link failed; then the first final reply read. */
BRENNIC_EXPORT int brennic_poll(brennic_result **result);

/* ---- Settings and state (version 1.3) ------------------------------------------------- */

/* A deadline of ms milliseconds for each request, measured from the start of the call
 * (connect, handshake, sending and, for a blocking request, the wait for the reply, through
 * every failover step), and for the link setups of brennic_init; 0, the default, restores
 * the built-in limits (20 s for a connect, 90 s for a handshake reply, about 51 minutes for a
 * blocking wait). A blocking request that runs out comes back without a reply text, as one
 * whose wait gave up. Returns 1; 0 (and nothing changes) for a negative ms. */
BRENNIC_EXPORT int brennic_set_timeout(int ms);

/* Diagnostics below min_level (1 debug, 2 info, 3 error) are neither formatted nor handed to
 * the log callback; 1, the default, hands on all of them. Level 3 keeps the request lines,
 * the secret text and the per-record trace lines of info level away from the callback and
 * saves their cost. Returns 1; 0 (and nothing changes) for a level outside 1 to 3. */
BRENNIC_EXPORT int brennic_set_log_level(int min_level);

/* Kinds of notice. */
#define BRENNIC_NOTICE_REFUSED 1      /* a server refused the handshake; text is its answer */
#define BRENNIC_NOTICE_SECRET_WRITE 2 /* the secret file could not be written */

/* Notice callback: kind, the host entry concerned (or NULL), the notice's own text, and line,
 * the exact line the library would print on standard output without it (no LF). All valid
 * only during the call. The result is ignored. */
typedef int (*brennic_notice_fn)(int kind, const char *host, const char *text, const char *line);

/* The lines the library would print on standard output go to fn instead; NULL, the
 * default, prints them. Returns 1. */
BRENNIC_EXPORT int brennic_set_notice_fn(brennic_notice_fn fn);

/* Host states. */
#define BRENNIC_HOST_CLOSED 0 /* no link, and its last setup did not fail (or none began) */
#define BRENNIC_HOST_OPEN 1   /* the enciphered link is established */
#define BRENNIC_HOST_FAILED 2 /* no link: its last setup failed */

/* Describes configured host index (0 to the host count less one): its name without the port
 * (and without the brackets of an IPv6 address) into name (at most name_size bytes,
 * terminated; may be NULL), its port (0 when the entry's port is not one from 1 to 65535,
 * an entry that is never connected and counts as failed), its state and the
 * seconds since its last link setup began (-1 when none did); any output pointer may be
 * NULL. Returns 1, or 0 for an index that names no configured host. */
BRENNIC_EXPORT int brennic_host_state(int index, char *name, int name_size, int *port, int *state,
                                      int64_t *seconds_since_attempt);

/* The index of the configured host that result was last sent to (the one that answered, for
 * an answered result), or -1 when none. */
BRENNIC_EXPORT int brennic_result_host(const brennic_result *result);

/* With on nonzero, the request lines sent from then on are held on each link and leave
 * together when brennic_batch(0) is called: a caller that sends many asynchronous requests at
 * once saves a network packet per request. Waiting requests are not sent until then, so call
 * brennic_batch(0) before waiting or polling for their replies. Returns 1. */
BRENNIC_EXPORT int brennic_batch(int on);

/* Waits up to ms milliseconds until an open link has bytes to read, for a caller of
 * brennic_poll that would otherwise sleep between polls. Returns 1 when one has (or a line
 * already received waits for the next poll), 0 when the time ran out; 0 at once when no link
 * is open. A negative ms counts as 0. */
BRENNIC_EXPORT int brennic_wait(int ms);

#ifdef __cplusplus
}
#endif

#endif /* BRENNIC_H */
