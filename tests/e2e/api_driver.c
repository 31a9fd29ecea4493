/* Drives the shared library from C for the end-to-end tests: one scenario per run, each
 * in a fresh process since the library's state is global. Prints what it observed, one
 * line per fact, on standard output; diagnostics go to standard error.
 *
 * Usage: e2e_api_driver HOSTS SECRET-FILE SCENARIO
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <string.h>
#include <time.h>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <dirent.h>
#endif

#include "brennic.h"

static int log_to_stderr(int level, const char *text) {
    fprintf(stderr, "%d %s\n", level, text);
    return 0;
}

static int on_line(int id, const char *line) {
    printf("line %d %s\n", id, line);
    return 0;
}

static void nap_ms(long ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (ms % 1000) * 1000000L;
    nanosleep(&ts, NULL);
}

/* Polls until one result is collected or about limit_ms have passed. */
static brennic_result *poll_one(long limit_ms) {
    brennic_result *r = NULL;
    long waited;
    for (waited = 0; waited <= limit_ms; waited += 5) {
        if (brennic_poll(&r) == 1) return r;
        nap_ms(5);
    }
    return NULL;
}

static const char *name_of(const brennic_result *r, const brennic_result *a,
                           const brennic_result *b) {
    if (r == a) return "first";
    if (r == b) return "second";
    return "other";
}

/* Two pending requests with one id: each reply goes to the newest pending record. */
static int same_id(void) {
    brennic_result *a = NULL, *b = NULL, *r;
    int i;
    int sent_a = brennic_check(5, "smith", "secret1", &a);
    int sent_b = brennic_check(5, "jones", "pw2", &b);
    printf("sent %d %d\n", sent_a, sent_b);
    for (i = 0; i < 2; ++i) {
        r = poll_one(5000);
        if (r == NULL) {
            printf("nothing collected\n");
            break;
        }
        printf("collected %s ok=%d text=%s\n", name_of(r, a, b), r->ok,
               r->text ? r->text : "(null)");
    }
    brennic_free(&a);
    brennic_free(&b);
    printf("freed %d\n", a == NULL && b == NULL);
    return 0;
}

/* An asynchronous request returns at once and is collected later by brennic_poll. */
static int async_lookup(void) {
    brennic_result *mine = NULL, *r;
    int rc = brennic_lookup(7, "smith", &mine);
    printf("returned %d id=%d sent=%d text=%s\n", rc, mine->id, mine->sent,
           mine->text ? mine->text : "(null)");
    r = poll_one(5000);
    if (r == NULL) {
        printf("nothing collected\n");
    } else {
        printf("collected same=%d id=%d ok=%d user=%s text=%s\n", r == mine, r->id, r->ok, r->user,
               r->text ? r->text : "(null)");
    }
    r = NULL;
    printf("again %d\n", brennic_poll(&r));
    printf("free %d\n", brennic_free(&mine));
    printf("free null %d\n", brennic_free(&mine));
    return 0;
}

/* An asynchronous search reports every line through its callback while polled. */
static int async_search(void) {
    brennic_result *mine = NULL, *r;
    brennic_search(3, "search example", on_line, &mine);
    r = poll_one(5000);
    printf("collected same=%d ok=%d user=%s text=%s\n", r == mine, r ? r->ok : -1, mine->user,
           mine->text ? mine->text : "(null)");
    brennic_free(&mine);
    return 0;
}

/* A reply whose id matches nothing is dropped; the request stays pending. */
static int unmatched(void) {
    brennic_result *mine = NULL;
    brennic_check(5, "smith", "secret1", &mine);
    printf("collected %d\n", poll_one(300) != NULL);
    printf("still pending text=%s\n", mine->text ? mine->text : "(null)");
    brennic_close();
    return 0;
}

/* Many large asynchronous requests on one link whose server reads nothing for a while:
 * the sends wait for the server, and every request is answered. */
#define BUSY_REQUESTS 600
#define BUSY_TEXT 17000
static int busy_link(void) {
    static char rest[BUSY_TEXT + 1];
    brennic_result *r;
    char user[32];
    int i, sent = 0, collected = 0, ok = 0, failed = 0;
    memcpy(rest, "a=", 2);
    memset(rest + 2, 'x', BUSY_TEXT - 2);
    rest[BUSY_TEXT] = '\0';
    for (i = 0; i < BUSY_REQUESTS; ++i) {
        brennic_result *mine = NULL;
        snprintf(user, sizeof user, "bulk%d", i);
        if (brennic_set(i + 1, user, "pw", rest, &mine) == 1) ++sent;
    }
    printf("sent %d\n", sent);
    while (collected < sent && (r = poll_one(10000)) != NULL) {
        ++collected;
        if (r->ok == 1) ++ok;
        if (r->failed) ++failed;
        brennic_free(&r);
    }
    printf("collected %d ok %d failed %d\n", collected, ok, failed);
    return 0;
}

#if defined(_WIN32)
/* Open sockets of this process: the handle values getsockopt takes for a socket. (Windows
 * has no list of a process's descriptors, and sockets are what a link leaves behind.) */
static int open_fds(void) {
    static int started;
    WSADATA data;
    UINT_PTR h;
    int n = 0;
    if (!started && WSAStartup(MAKEWORD(2, 2), &data) != 0) return -1000;
    started = 1;
    for (h = 4; h < 0x10000; h += 4) {
        int type = 0, length = sizeof type;
        if (getsockopt((SOCKET)h, SOL_SOCKET, SO_TYPE, (char *)&type, &length) == 0) ++n;
    }
    return n;
}
#else
/* Open descriptors of this process. */
static int open_fds(void) {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    struct dirent *e;
    if (d == NULL) return -1000;
    while ((e = readdir(d)) != NULL)
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1; /* the directory's own descriptor */
}
#endif

#define ASYNC_COUNT 5
static brennic_result *async_records[ASYNC_COUNT + 1];

/* Asynchronous lookups with the ids 1 to 5, smith and jones in turn. */
static void send_lookups(void) {
    int id;
    for (id = 1; id <= ASYNC_COUNT; ++id)
        brennic_lookup(id, id % 2 ? "smith" : "jones", &async_records[id]);
}

/* Polls until every lookup has come back, then a little longer: each record is printed as it
 * comes back, with whether it is the record of its id, and a second hand-back is reported. */
static void collect_lookups(void) {
    int seen[ASYNC_COUNT + 1] = {0};
    int collected = 0, extra = 0;
    brennic_result *r;
    while (collected < ASYNC_COUNT && (r = poll_one(5000)) != NULL) {
        int own = r->id >= 1 && r->id <= ASYNC_COUNT && async_records[r->id] == r;
        printf("collected %d own=%d failed=%d text=%s\n", r->id, own, r->failed,
               r->text ? r->text : "(null)");
        if (own && seen[r->id]++ == 0) ++collected;
    }
    while (poll_one(100) != NULL)
        ++extra;
    printf("extra %d\n", extra);
    for (collected = 1; collected <= ASYNC_COUNT; ++collected)
        brennic_free(&async_records[collected]);
}

/* Asynchronous lookups outstanding, then a blocking check: each lookup still comes back from
 * brennic_poll, once, with its own text. */
static int mixed(void) {
    brennic_result *mine = NULL;
    send_lookups();
    printf("blocking %d\n", brennic_check(-1, "smith", "secret1", &mine));
    printf("blocking text=%s\n", mine->text ? mine->text : "(null)");
    brennic_free(&mine);
    collect_lookups();
    return 0;
}

/* Lookups pending on the second host; a second init keeps only the first (unreachable) one:
 * each lookup comes back failed, once, and the dropped link's socket, the one descriptor the
 * library held, is closed. */
static int fewer_hosts(const char *hosts, int fds_before) {
    char first[256];
    size_t n = strcspn(hosts, ",");
    if (n >= sizeof first) return 2;
    memcpy(first, hosts, n);
    first[n] = '\0';
    send_lookups();
    printf("on host %d\n", brennic_result_host(async_records[1]));
    printf("descriptors held %d\n", open_fds() - fds_before);
    printf("init %d\n", brennic_init(first, "", log_to_stderr));
    printf("descriptors left %d\n", open_fds() - fds_before);
    collect_lookups();
    return 0;
}

/* Lookups pending at brennic_close; after a new brennic_init each comes back failed, once. */
static int close_pending(const char *hosts, const char *secret) {
    send_lookups();
    printf("close %d\n", brennic_close());
    printf("init %d\n", brennic_init(hosts, secret, log_to_stderr));
    collect_lookups();
    brennic_close();
    return 0;
}

static long now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* brennic_wait against a server that answers after a delay: nothing to read at first, bytes
 * before the limit, nothing once the reply is taken, and no waiting without a link. */
static int wait_links(void) {
    brennic_result *mine = NULL, *r = NULL;
    long start;
    printf("sent %d\n", brennic_lookup(9, "smith", &mine));
    printf("at once %d\n", brennic_wait(0));
    printf("woken %d\n", brennic_wait(10000));
    r = poll_one(1000);
    printf("collected %d\n", r == mine && r != NULL);
    printf("drained %d\n", brennic_wait(50));
    brennic_free(&mine);
    brennic_close();
    start = now_ms();
    printf("closed %d\n", brennic_wait(10000));
    printf("returned early %d\n", now_ms() - start < 5000);
    return 0;
}

int main(int argc, char **argv) {
    const int fds_before = open_fds();
    if (argc != 4) {
        fprintf(stderr, "usage: e2e_api_driver HOSTS SECRET-FILE SCENARIO\n");
        return 2;
    }
    /* Without a log callback the busy link's hundreds of pending records are not reported
     * one by one at every collection. */
    printf("init %d\n", brennic_init(argv[1], argv[2],
                                     strcmp(argv[3], "busy-link") == 0 ? NULL : log_to_stderr));
    if (strcmp(argv[3], "same-id") == 0) return same_id();
    if (strcmp(argv[3], "async") == 0) return async_lookup();
    if (strcmp(argv[3], "search") == 0) return async_search();
    if (strcmp(argv[3], "unmatched") == 0) return unmatched();
    if (strcmp(argv[3], "busy-link") == 0) return busy_link();
    if (strcmp(argv[3], "mixed") == 0) return mixed();
    if (strcmp(argv[3], "fewer-hosts") == 0) return fewer_hosts(argv[1], fds_before);
    if (strcmp(argv[3], "close-pending") == 0) return close_pending(argv[1], argv[2]);
    if (strcmp(argv[3], "wait") == 0) return wait_links();
    fprintf(stderr, "unknown scenario %s\n", argv[3]);
    return 2;
}
