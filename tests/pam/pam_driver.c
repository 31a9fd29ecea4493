/* Drives the real libpam for the module's tests: pam_driver SERVICE USER PASSWORD ACTION...
 * with ACTION one of auth, acct, setcred, chauthtok. The conversation answers every hidden
 * prompt with PASSWORD. Prints one line per action, "<action> <PAM code>", then the number of
 * prompts seen. Run it with pam_wrapper preloaded to point libpam at a test service folder. */
#define _POSIX_C_SOURCE 200809L
#include <security/pam_appl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int prompts = 0;

static int answer(int count, const struct pam_message **msg, struct pam_response **resp,
                  void *data) {
    const char *password = (const char *)data;
    struct pam_response *out = calloc((size_t)count, sizeof *out);
    if (out == NULL) return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        if (msg[i]->msg_style == PAM_PROMPT_ECHO_OFF) {
            ++prompts;
            out[i].resp = strdup(password);
        }
    }
    *resp = out;
    return PAM_SUCCESS;
}

int main(int argc, char **argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: pam_driver SERVICE USER PASSWORD ACTION...\n");
        return 2;
    }
    struct pam_conv conv = {answer, argv[3]};
    pam_handle_t *pamh = NULL;
    int rc = pam_start(argv[1], argv[2], &conv, &pamh);
    if (rc != PAM_SUCCESS) {
        printf("start %d\n", rc);
        return 1;
    }
    for (int i = 4; i < argc; ++i) {
        const char *action = argv[i];
        if (strcmp(action, "auth") == 0) {
            rc = pam_authenticate(pamh, 0);
        } else if (strcmp(action, "acct") == 0) {
            rc = pam_acct_mgmt(pamh, 0);
        } else if (strcmp(action, "setcred") == 0) {
            rc = pam_setcred(pamh, PAM_ESTABLISH_CRED);
        } else if (strcmp(action, "chauthtok") == 0) {
            rc = pam_chauthtok(pamh, 0);
        } else {
            fprintf(stderr, "unknown action %s\n", action);
            return 2;
        }
        printf("%s %d\n", action, rc);
    }
    printf("prompts %d\n", prompts);
    pam_end(pamh, rc);
    return 0;
}
