// pam_brennic: authentication and account checks against the brennic directory.
//
// auth     one blocking check of the user and password; PAM_SUCCESS only for a "+OK" reply
//          that names this very user.
// account  one blocking lookup of the user.
// setcred  nothing to do; password changes are not offered.
//
// Every call starts the library afresh and closes it again, so a long-lived process keeps no
// link, no pending record and no per-host retry pause of an earlier call. The library's state
// is global and single-threaded: calls from several threads of one process take turns.
#include <pthread.h>
#include <security/pam_ext.h>
#include <security/pam_modules.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "brennic.h"
#include "lib/state.h"
#include "pam/policy.h"

#define BRENNIC_PAM_EXPORT extern "C" __attribute__((visibility("default")))

namespace brennic::pam {
namespace {

// The library's diagnostics that reach the log callback: errors only. Its info lines hold the
// request lines, with the password, and the secret text; at this level they are never made.
constexpr int kLibraryLogLevel = 3;
constexpr int kBlockingId = -1;
constexpr const char *kPasswordPrompt = "Password: ";
// "name:port" of one host, as reported in the outcome line.
constexpr std::size_t kHostLabelSize = kLogTextMax + 16;

pthread_mutex_t library_lock = PTHREAD_MUTEX_INITIALIZER;

// The call that holds library_lock; the library's callbacks log through it.
struct call_context {
    pam_handle_t *pamh = nullptr;
    bool debug = false;
};
call_context current;

int on_library_log(int level, const char *text) {
    if (current.pamh == nullptr || !current.debug) return 0;
    char line[kDiagMax + 1];
    copy_for_log(line, sizeof line, text);
    pam_syslog(current.pamh, LOG_DEBUG, "library (level %d): %s", level, line);
    return 0;
}

// A server refusing the handshake (a different secret, say) is an error worth telling always;
// without this callback the library would print it on the host process's standard output.
int on_library_notice(int kind, const char *host, const char *text, const char *line) {
    (void)line;
    if (current.pamh == nullptr) return 0;
    char who[kLogTextMax + 1];
    char what[kLogTextMax + 1];
    copy_for_log(who, sizeof who, host);
    copy_for_log(what, sizeof what, text);
    if (kind == BRENNIC_NOTICE_REFUSED) {
        pam_syslog(current.pamh, LOG_ERR, "server %s refused the link: %s", who, what);
    } else {
        pam_syslog(current.pamh, LOG_ERR, "library notice %d: %s", kind, what);
    }
    return 0;
}

void report_arg(void *context, arg_problem problem, const char *arg) {
    auto *pamh = static_cast<pam_handle_t *>(context);
    char shown[kLogTextMax + 1];
    copy_for_log(shown, sizeof shown, arg);
    switch (problem) {
    case arg_problem::unknown:
        pam_syslog(pamh, LOG_WARNING, "unknown argument ignored: %s", shown);
        break;
    case arg_problem::bad_value:
        pam_syslog(pamh, LOG_WARNING, "unusable value, default kept: %s", shown);
        break;
    case arg_problem::too_long:
        pam_syslog(pamh, LOG_ERR, "value too long to pass on whole: %s", shown);
        break;
    }
}

// The outcome of one request: its verdict and the server it was last sent to.
struct outcome {
    verdict result = verdict::unavailable;
    char host[kHostLabelSize] = {};
    char word[kLogTextMax + 1] = {}; // the reply's second word, for a reply about another user
};

void describe_host(const brennic_result *r, char *out, std::size_t out_size) {
    out[0] = '\0';
    const int index = brennic_result_host(r);
    char name[kLogTextMax + 1];
    int port = 0;
    if (index < 0 || brennic_host_state(index, name, sizeof name, &port, nullptr, nullptr) == 0)
        return;
    char shown[kLogTextMax + 1];
    copy_for_log(shown, sizeof shown, name);
    std::snprintf(out, out_size, "%s:%d", shown, port);
}

enum class request_kind { check, lookup };

// One blocking check or lookup on a library started for this call alone.
outcome run_request(pam_handle_t *pamh, const module_args &args, request_kind kind,
                    const char *user, const char *password) {
    outcome out;
    pthread_mutex_lock(&library_lock);
    current.pamh = pamh;
    current.debug = args.debug;

    // Back to a fresh process's state: hosts, links, the retry pause of each host and the
    // pending list. Settings come after it, and before the links that init sets up.
    reset_library();
    brennic_set_log_level(kLibraryLogLevel);
    brennic_set_notice_fn(on_library_notice);
    brennic_set_timeout(args.timeout_seconds * kMillisPerSecond);
    brennic_init(args.host, args.secret, on_library_log);

    brennic_result *r = nullptr;
    const int made = kind == request_kind::check ? brennic_check(kBlockingId, user, password, &r)
                                                 : brennic_lookup(kBlockingId, user, &r);
    if (made != 0 && r != nullptr) {
        out.result = classify_reply(r->text, r->failed, user);
        describe_host(r, out.host, sizeof out.host);
        if (out.result == verdict::other_user) {
            char word[kLogTextMax + 1];
            second_word(r->text, word, sizeof word);
            copy_for_log(out.word, sizeof out.word, word);
        }
    } else {
        // The fields were checked before; a refusal here means nothing was sent.
        out.result = verdict::rejected;
        pam_syslog(pamh, LOG_ERR, "the library refused the request before sending it");
    }
    brennic_free(&r);
    brennic_close();

    current = call_context{};
    pthread_mutex_unlock(&library_lock);
    return out;
}

// Reads the arguments; false (and a logged reason) when the call cannot go on with them.
bool read_args(pam_handle_t *pamh, int argc, const char **argv, module_args &args) {
    args = parse_args(argc, argv, report_arg, pamh);
    if (!args.valid) {
        pam_syslog(pamh, LOG_ERR, "module line unusable; see the lines above");
        return false;
    }
    if (args.debug) {
        char hosts[kLogTextMax + 1];
        copy_for_log(hosts, sizeof hosts, args.host);
        pam_syslog(pamh, LOG_DEBUG, "hosts %s, timeout %d s, secret file %s", hosts,
                   args.timeout_seconds, args.secret[0] != '\0' ? "given" : "default");
    }
    return true;
}

// The user name, or a PAM code other than PAM_SUCCESS in result.
const char *get_user(pam_handle_t *pamh, int &result) {
    const char *user = nullptr;
    result = pam_get_user(pamh, &user, nullptr);
    if (result == PAM_CONV_AGAIN) {
        result = PAM_INCOMPLETE;
    } else if (result == PAM_SUCCESS && user == nullptr) {
        result = PAM_USER_UNKNOWN;
    }
    if (result != PAM_SUCCESS) {
        pam_syslog(pamh, LOG_ERR, "could not get the user name: %s", pam_strerror(pamh, result));
        return nullptr;
    }
    return user;
}

// The password: an earlier module's with use_first_pass (none there fails) or
// try_first_pass (none there asks), else asked through the conversation and kept as
// PAM_AUTHTOK for the modules after this one.
int get_password(pam_handle_t *pamh, const module_args &args, const char *&password) {
    password = nullptr;
    if (args.use_first_pass || args.try_first_pass) {
        const void *item = nullptr;
        if (pam_get_item(pamh, PAM_AUTHTOK, &item) == PAM_SUCCESS && item != nullptr) {
            password = static_cast<const char *>(item);
            return PAM_SUCCESS;
        }
        if (args.use_first_pass) {
            pam_syslog(pamh, LOG_ERR, "use_first_pass given, but no earlier module set a password");
            return PAM_AUTH_ERR;
        }
    }
    char *answer = nullptr;
    int result = pam_prompt(pamh, PAM_PROMPT_ECHO_OFF, &answer, "%s", kPasswordPrompt);
    if (result == PAM_CONV_AGAIN) return PAM_INCOMPLETE;
    if (result != PAM_SUCCESS || answer == nullptr) {
        pam_syslog(pamh, LOG_ERR, "conversation failed: %s", pam_strerror(pamh, result));
        std::free(answer);
        return result != PAM_SUCCESS ? result : PAM_CONV_ERR;
    }
    result = pam_set_item(pamh, PAM_AUTHTOK, answer);
    explicit_bzero(answer, std::strlen(answer));
    std::free(answer);
    if (result != PAM_SUCCESS) return result;
    const void *item = nullptr;
    if (pam_get_item(pamh, PAM_AUTHTOK, &item) != PAM_SUCCESS || item == nullptr)
        return PAM_AUTH_ERR;
    password = static_cast<const char *>(item);
    return PAM_SUCCESS;
}

int authenticate(pam_handle_t *pamh, int argc, const char **argv) {
    module_args args;
    if (!read_args(pamh, argc, argv, args)) return PAM_SERVICE_ERR;
    int result = PAM_SUCCESS;
    const char *user = get_user(pamh, result);
    if (user == nullptr) return result;
    char shown_user[kLogTextMax + 1];
    copy_for_log(shown_user, sizeof shown_user, user);
    // Checked before the password is asked for: a name the link cannot carry never gets an
    // answer, whatever the password.
    if (!fits_field(user)) {
        pam_syslog(pamh, LOG_NOTICE,
                   "authentication of user %s refused unsent: the name is empty, longer than %d "
                   "characters, or holds a space, CR or LF",
                   shown_user, kUserMax);
        return PAM_AUTH_ERR;
    }
    const char *password = nullptr;
    result = get_password(pamh, args, password);
    if (result != PAM_SUCCESS) return result;
    if (!fits_field(password)) {
        pam_syslog(pamh, LOG_NOTICE,
                   "authentication of user %s refused unsent: the password is empty, longer than "
                   "%d characters, or holds a space, CR or LF",
                   shown_user, kUserMax);
        return PAM_AUTH_ERR;
    }

    const outcome out = run_request(pamh, args, request_kind::check, user, password);
    switch (out.result) {
    case verdict::accepted:
        pam_syslog(pamh, LOG_INFO, "authentication of user %s: accepted by %s", shown_user,
                   out.host);
        return PAM_SUCCESS;
    case verdict::rejected:
        pam_syslog(pamh, LOG_NOTICE, "authentication of user %s: rejected by %s", shown_user,
                   out.host);
        return PAM_AUTH_ERR;
    case verdict::unknown_user:
        pam_syslog(pamh, LOG_NOTICE, "authentication of user %s: unknown to %s", shown_user,
                   out.host);
        return PAM_USER_UNKNOWN;
    case verdict::other_user:
        pam_syslog(pamh, LOG_ERR,
                   "authentication of user %s: refused, the reply of %s names user \"%s\"",
                   shown_user, out.host, out.word);
        return PAM_AUTH_ERR;
    case verdict::unavailable:
        break;
    }
    char hosts[kLogTextMax + 1];
    copy_for_log(hosts, sizeof hosts, args.host);
    pam_syslog(pamh, LOG_ERR,
               "authentication of user %s: no server answered (hosts %s, timeout %d s)", shown_user,
               hosts, args.timeout_seconds);
    return PAM_AUTHINFO_UNAVAIL;
}

int account(pam_handle_t *pamh, int argc, const char **argv) {
    module_args args;
    if (!read_args(pamh, argc, argv, args)) return PAM_SERVICE_ERR;
    int result = PAM_SUCCESS;
    const char *user = get_user(pamh, result);
    if (user == nullptr) return result;
    char shown_user[kLogTextMax + 1];
    copy_for_log(shown_user, sizeof shown_user, user);
    // No directory entry can have a name the link cannot carry.
    if (!fits_field(user)) {
        pam_syslog(pamh, LOG_NOTICE, "account of user %s: unknown, the name cannot be sent",
                   shown_user);
        return PAM_USER_UNKNOWN;
    }

    const outcome out = run_request(pamh, args, request_kind::lookup, user, nullptr);
    switch (out.result) {
    case verdict::accepted:
        if (args.debug)
            pam_syslog(pamh, LOG_DEBUG, "account of user %s: found by %s", shown_user, out.host);
        return PAM_SUCCESS;
    case verdict::unknown_user:
        pam_syslog(pamh, LOG_NOTICE, "account of user %s: unknown to %s", shown_user, out.host);
        return PAM_USER_UNKNOWN;
    case verdict::rejected:
        pam_syslog(pamh, LOG_NOTICE, "account of user %s: refused by %s", shown_user, out.host);
        return PAM_PERM_DENIED;
    case verdict::other_user:
        pam_syslog(pamh, LOG_ERR, "account of user %s: the reply of %s names user \"%s\"",
                   shown_user, out.host, out.word);
        return PAM_PERM_DENIED;
    case verdict::unavailable:
        break;
    }
    char hosts[kLogTextMax + 1];
    copy_for_log(hosts, sizeof hosts, args.host);
    pam_syslog(pamh, LOG_ERR, "account of user %s: no server answered (hosts %s, timeout %d s)",
               shown_user, hosts, args.timeout_seconds);
    return PAM_AUTHINFO_UNAVAIL;
}

} // namespace
} // namespace brennic::pam

BRENNIC_PAM_EXPORT int pam_sm_authenticate(pam_handle_t *pamh, int flags, int argc,
                                           const char **argv) {
    (void)flags;
    return brennic::pam::authenticate(pamh, argc, argv);
}

BRENNIC_PAM_EXPORT int pam_sm_setcred(pam_handle_t *pamh, int flags, int argc, const char **argv) {
    (void)pamh;
    (void)flags;
    (void)argc;
    (void)argv;
    return PAM_SUCCESS;
}

BRENNIC_PAM_EXPORT int pam_sm_acct_mgmt(pam_handle_t *pamh, int flags, int argc,
                                        const char **argv) {
    (void)flags;
    return brennic::pam::account(pamh, argc, argv);
}

BRENNIC_PAM_EXPORT int pam_sm_chauthtok(pam_handle_t *pamh, int flags, int argc,
                                        const char **argv) {
    (void)flags;
    (void)argc;
    (void)argv;
    pam_syslog(pamh, LOG_ERR, "password change is not offered; change it on the directory server");
    return PAM_SERVICE_ERR;
}
