/*
 * async_check.c - checks several users at once through the asynchronous interface.
 *
 * Every user/password pair is sent as its own check request with its own positive id,
 * without waiting; the answers are then collected with brennic_poll, with a short sleep
 * after every poll that found nothing, until -polls such polls have passed. The program
 * never waits for a reply inside the library's own long wait; setting up a link (inside
 * brennic_init and the first request) may still wait up to 90 s for a server that accepts
 * the connection but does not answer its handshake.
 *
 *   async_check [-host LIST] [-secret FILE] [-polls N] [-sleep MS] [-v] [--] USER PASSWORD ...
 *
 * Output: one line per user, then a summary line. Exit status: 0 when every user was
 * accepted, 1 when some were rejected, 2 when the server could not be reached or did not
 * answer in time, 64 on a usage error.
 */
#define _POSIX_C_SOURCE 200809L

#include <brennic.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum {
    kMaxUsers = 64,     /* pairs accepted on one command line */
    kTextShown = 200,   /* reply characters printed per user */
    kDefaultPolls = 50, /* polls that find nothing before giving up on the rest */
    kDefaultSleepMs = 100,
    kMaxPolls = 100000,
    kMaxSleepMs = 10000,
    kExitUsage = 64
};

/* Library texts that mark a link failure rather than an answer of the server. */
static const char kLinkFailure[] = "brenniclib failed";

enum outcome { kPending, kAccepted, kRejected, kUnreachable };

struct request {
    const char *user;
    brennic_result *record; /* owned; linked in the library until collected */
    enum outcome outcome;
};

static int verbose;

/* Diagnostics go to standard error under -v. Runs inside library calls: it must not call
 * back into the library. */
static int log_to_stderr(int level, const char *text) {
    static const char *const names[] = {"?", "debug", "info", "error"};
    if (verbose && text != NULL) {
        const char *name = (level >= 1 && level <= 3) ? names[level] : names[0];
        fprintf(stderr, "brennic %s: %s\n", name, text);
    }
    return 0;
}

static void sleep_ms(int ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

/* Reads a whole decimal number in [lo, hi]; 1 on success. */
static int parse_number(const char *text, int lo, int hi, int *out) {
    char *end = NULL;
    long value;
    errno = 0;
    value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < lo || value > hi) {
        return 0;
    }
    *out = (int)value;
    return 1;
}

/* A reply names the user it concerns in its second word; one naming another user is not an
 * answer for this one. */
static int reply_names_user(const char *text, const char *user) {
    const char *word = strchr(text, ' ');
    size_t len;
    if (word == NULL) {
        return 0;
    }
    word++;
    len = strcspn(word, " ");
    return len == strlen(user) && strncmp(word, user, len) == 0;
}

static enum outcome classify(const brennic_result *r, const char *user) {
    if (r->text == NULL) {
        return kPending;
    }
    if (r->failed || strstr(r->text, kLinkFailure) != NULL) {
        return kUnreachable;
    }
    if (r->ok && reply_names_user(r->text, user)) {
        return kAccepted;
    }
    return kRejected;
}

static void report(const struct request *q) {
    static const char *const words[] = {"no answer", "accepted", "rejected", "server unreachable"};
    printf("check %.100s: %s (%.*s)\n", q->user, words[q->outcome], (int)kTextShown,
           q->record->text);
}

static int usage(void) {
    fprintf(stderr, "usage: async_check [-host LIST] [-secret FILE] [-polls N] [-sleep MS] [-v]"
                    " USER PASSWORD [USER PASSWORD ...]\n");
    return kExitUsage;
}

int main(int argc, char **argv) {
    const char *hosts = "127.0.0.1";
    const char *secret = "";
    int polls = kDefaultPolls;
    int sleep_each = kDefaultSleepMs;
    struct request reqs[kMaxUsers];
    int count = 0, pending = 0, i, n;
    int tally[4] = {0, 0, 0, 0};

    for (i = 1; i < argc && argv[i][0] == '-'; i++) {
        if (strcmp(argv[i], "--") == 0) {
            i++;
            break;
        } else if (strcmp(argv[i], "-v") == 0) {
            verbose = 1;
        } else if (i + 1 >= argc) {
            return usage();
        } else if (strcmp(argv[i], "-host") == 0) {
            hosts = argv[++i];
        } else if (strcmp(argv[i], "-secret") == 0) {
            secret = argv[++i];
        } else if (strcmp(argv[i], "-polls") == 0) {
            if (!parse_number(argv[++i], 1, kMaxPolls, &polls)) return usage();
        } else if (strcmp(argv[i], "-sleep") == 0) {
            if (!parse_number(argv[++i], 0, kMaxSleepMs, &sleep_each)) return usage();
        } else {
            return usage();
        }
    }
    if (argc - i < 2 || (argc - i) % 2 != 0 || (argc - i) / 2 > kMaxUsers) {
        return usage();
    }

    brennic_init(hosts, secret, log_to_stderr);

    /* Send everything first: each request carries its index plus one as id and returns at
     * once. Ids start at 1 because a reply line without an id counts as id 0, so a stray
     * line from a server could complete a request numbered 0. */
    for (; i + 1 < argc; i += 2) {
        struct request *q = &reqs[count];
        q->user = argv[i];
        q->record = NULL;
        q->outcome = kPending;
        if (!brennic_check(count + 1, argv[i], argv[i + 1], &q->record)) {
            /* Refused before sending: the record is not linked and can go at once. */
            printf("check %.100s: refused by the library\n", q->user);
            q->outcome = kRejected;
            brennic_free(&q->record);
        } else {
            pending++;
        }
        count++;
    }

    /* Collect. One poll yields at most one record; only a poll that yielded none counts
     * against the limit, and only then is there a sleep. */
    for (n = 0; n < polls && pending > 0;) {
        brennic_result *got = NULL;
        int j;
        if (!brennic_poll(&got)) {
            n++;
            sleep_ms(sleep_each);
            continue;
        }
        for (j = 0; j < count; j++) {
            if (reqs[j].record == got && reqs[j].outcome == kPending) break;
        }
        if (j == count) {
            printf("unexpected result for id %d\n", got->id);
            brennic_free(&got); /* handed over by the poll: ours to free */
            continue;
        }
        reqs[j].outcome = classify(got, reqs[j].user);
        if (reqs[j].outcome == kPending) {
            reqs[j].outcome = kRejected; /* collected without a text: treat as no */
            printf("check %.100s: rejected (no reply text)\n", reqs[j].user);
        } else {
            report(&reqs[j]);
        }
        brennic_free(&reqs[j].record);
        pending--;
    }

    for (i = 0; i < count; i++) {
        tally[reqs[i].outcome]++;
        if (reqs[i].outcome == kPending) {
            printf("check %.100s: no answer after %d polls\n", reqs[i].user, polls);
            /* Freeing a pending record takes it out of the library's list: the request is
             * abandoned and a late reply is discarded. */
            brennic_free(&reqs[i].record);
        }
    }
    brennic_close();

    printf("summary: %d requests, %d accepted, %d rejected, %d unreachable, %d unanswered\n", count,
           tally[kAccepted], tally[kRejected], tally[kUnreachable], tally[kPending]);
    if (tally[kUnreachable] > 0) {
        printf("the brennic server could not be reached (%.200s)\n", hosts);
    }
    if (tally[kUnreachable] > 0 || tally[kPending] > 0) return 2;
    return tally[kRejected] > 0 ? 1 : 0;
}
