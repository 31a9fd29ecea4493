// pam_brennic.so through the real libpam against the test server. pam_wrapper, preloaded into
// a small driver program, points libpam at a service folder of the test's own, so no system
// configuration is read or touched; pam_syslog lines land on the driver's standard error.
#include <security/pam_appl.h>
#include <sys/stat.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/child_process.h"

using brennic::e2e::run_result;
using brennic::e2e::server_process;
using brennic::e2e::temp_dir;

namespace {

constexpr const char *kPassword = "Pw-9f3k";
constexpr const char *kSecretText = "pam stack secret";
constexpr int kRunLimitMs = 20000;

// What one driver run reports: the PAM code of each action, the prompts seen, the log lines.
struct pam_run {
    std::vector<int> codes;
    int prompts = -1;
    std::string log; // every pam_syslog line, with pam_wrapper's prefix
    std::string out;
    long elapsed_ms = 0;
};

class PamStack : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string(BRENNIC_PAM_WRAPPER_PATH).empty())
            GTEST_SKIP() << "libpam_wrapper.so not found: install libpam-wrapper (.ci/setup.sh "
                            "does) to run the PAM stack tests";
        users_ = dir_.write("users.txt", std::string("smith ") + kPassword +
                                             " mail=smith@example.org\njones pw2 dept=dev\n");
        secret_ = dir_.write("secret.txt", std::string(kSecretText) + "\n");
        ASSERT_EQ(mkdir(dir_.file("services").c_str(), 0700), 0);
    }

    bool start(server_process &srv, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--users", users_,         "--secret",
                                         secret_,   "--transcript", dir_.file("transcript")};
        args.insert(args.end(), extra.begin(), extra.end());
        return srv.start(args);
    }
    // What the servers of this test were sent (they append to one transcript).
    std::string transcript() { return brennic::e2e::read_file(dir_.file("transcript")); }

    // The module line for type with the given arguments.
    static std::string module_line(const std::string &type, const std::string &args) {
        return type + " required " + BRENNIC_PAM_MODULE_PATH + " " + args + "\n";
    }
    // An auth and an account line with the same arguments.
    void service(const std::string &name, const std::string &args) {
        dir_.write("services/" + name, module_line("auth", args) + module_line("account", args));
    }
    std::string args_for(const std::string &host) { return "host=" + host + " secret=" + secret_; }

    pam_run run(const std::string &service, const std::string &user, const std::string &password,
                const std::vector<std::string> &actions, const std::vector<std::string> &env = {}) {
        std::vector<std::string> argv = {
            "/usr/bin/env", std::string("LD_PRELOAD=") + BRENNIC_PAM_WRAPPER_PATH, "PAM_WRAPPER=1",
            "PAM_WRAPPER_SERVICE_DIR=" + dir_.file("services"), "PAM_WRAPPER_DEBUGLEVEL=2"};
        argv.insert(argv.end(), env.begin(), env.end());
        argv.insert(argv.end(), {BRENNIC_PAM_DRIVER_PATH, service, user, password});
        argv.insert(argv.end(), actions.begin(), actions.end());
        const auto began = std::chrono::steady_clock::now();
        run_result r = brennic::e2e::run_program(argv, "", dir_.path(), kRunLimitMs);
        pam_run out;
        out.elapsed_ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - began)
                                               .count());
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
        out.out = r.out;
        std::istringstream lines(r.out);
        std::string word;
        int value = 0;
        while (lines >> word >> value)
            (word == "prompts" ? out.prompts : out.codes.emplace_back()) = value;
        std::istringstream errs(r.err);
        for (std::string line; std::getline(errs, line);)
            if (line.find("SYSLOG(") != std::string::npos) out.log += line + "\n";
        return out;
    }

    static bool has(const std::string &text, const std::string &part) {
        return text.find(part) != std::string::npos;
    }

    temp_dir dir_;
    std::string users_, secret_;
};

TEST_F(PamStack, RightPasswordIsAcceptedAndTheAccountFound) {
    server_process srv;
    ASSERT_TRUE(start(srv));
    const std::string args = args_for(srv.address()) + " bogus";
    dir_.write("services/brennic", module_line("auth", args) + module_line("account", args) +
                                       module_line("password", args));
    pam_run r = run("brennic", "smith", kPassword, {"auth", "acct", "setcred", "chauthtok"});
    EXPECT_EQ(r.codes, (std::vector<int>{PAM_SUCCESS, PAM_SUCCESS, PAM_SUCCESS, PAM_SERVICE_ERR}))
        << r.log;
    EXPECT_EQ(r.prompts, 1);
    const std::string sent = transcript();
    EXPECT_TRUE(has(sent, std::string("request -1 check smith ") + kPassword)) << sent;
    EXPECT_TRUE(has(sent, "request -1 lookup smith")) << sent;
    EXPECT_TRUE(has(r.log, "unknown argument ignored: bogus")) << r.log;
    EXPECT_TRUE(has(r.log, "authentication of user smith: accepted by " + srv.address())) << r.log;
    EXPECT_TRUE(has(r.log, "password change is not offered")) << r.log;
}

// Each row: server options, user, password, then the auth and account codes.
TEST_F(PamStack, DirectoryAnswersMapToPamCodes) {
    struct row {
        std::vector<std::string> server_args;
        std::string user, password;
        int auth, acct;
        std::string log;
    };
    const row rows[] = {
        {{}, "smith", "wrong", PAM_AUTH_ERR, PAM_SUCCESS, "smith: rejected by"},
        {{}, "nobody", "x", PAM_USER_UNKNOWN, PAM_USER_UNKNOWN, "nobody: unknown to"},
        {{"--wrong-user", "jones"},
         "smith",
         kPassword,
         PAM_AUTH_ERR,
         PAM_PERM_DENIED,
         "names user \"jones\""},
    };
    for (const row &c : rows) {
        SCOPED_TRACE(c.user + " / " + c.password);
        server_process srv;
        ASSERT_TRUE(start(srv, c.server_args));
        service("brennic", args_for(srv.address()));
        pam_run r = run("brennic", c.user, c.password, {"auth", "acct"});
        EXPECT_EQ(r.codes, (std::vector<int>{c.auth, c.acct})) << r.log;
        EXPECT_TRUE(has(r.log, c.log)) << r.log;
    }
}

TEST_F(PamStack, NoServerAnsweringIsAuthinfoUnavailable) {
    server_process refusing;
    ASSERT_TRUE(start(refusing, {"--refuse-handshake"}));
    const std::string down = "127.0.0.1:" + std::to_string(brennic::e2e::closed_port());
    for (const std::string &host : {down, refusing.address()}) {
        SCOPED_TRACE(host);
        service("brennic", args_for(host));
        pam_run r = run("brennic", "smith", kPassword, {"auth", "acct"});
        EXPECT_EQ(r.codes, (std::vector<int>{PAM_AUTHINFO_UNAVAIL, PAM_AUTHINFO_UNAVAIL})) << r.log;
        EXPECT_TRUE(has(r.log, "smith: no server answered (hosts " + host)) << r.log;
        // Nothing of the library reaches the host process's standard output.
        const std::string unavail = std::to_string(PAM_AUTHINFO_UNAVAIL);
        EXPECT_EQ(r.out, "auth " + unavail + "\nacct " + unavail + "\nprompts 1\n");
    }
    EXPECT_TRUE(
        has(run("brennic", "smith", kPassword, {"auth"}).log,
            "server " + refusing.address() + " refused the link: 1 -ERR handshake refused"));

    // The stack of the manual page: local accounts take over when the directory is away.
    if (!std::string(BRENNIC_PAM_PERMIT_PATH).empty()) {
        dir_.write("services/fallback",
                   std::string("auth [success=done authinfo_unavail=ignore default=die] ") +
                       BRENNIC_PAM_MODULE_PATH + " " + args_for(down) + "\nauth required " +
                       BRENNIC_PAM_PERMIT_PATH + "\n");
        EXPECT_EQ(run("fallback", "smith", kPassword, {"auth"}).codes,
                  std::vector<int>{PAM_SUCCESS});
    }
}

TEST_F(PamStack, SilentServerGivesUpWithinTheTimeout) {
    server_process silent;
    ASSERT_TRUE(start(silent, {"--silent-handshake"}));
    service("brennic", args_for(silent.address()) + " timeout=1");
    pam_run r = run("brennic", "smith", kPassword, {"auth"});
    EXPECT_EQ(r.codes, std::vector<int>{PAM_AUTHINFO_UNAVAIL}) << r.log;
    EXPECT_LT(r.elapsed_ms, 6000) << "a one-second timeout took " << r.elapsed_ms << " ms";
}

TEST_F(PamStack, PasswordOfAnEarlierModule) {
    if (std::string(BRENNIC_PAM_SET_ITEMS_PATH).empty())
        GTEST_SKIP() << "pam_set_items.so (libpam-wrapper) not found";
    server_process srv;
    ASSERT_TRUE(start(srv));
    struct row {
        std::string option;
        std::vector<std::string> env; // read by pam_set_items, which sets PAM_AUTHTOK
        int code, prompts;
    };
    const std::string token = std::string("PAM_AUTHTOK=") + kPassword;
    const row rows[] = {
        {"use_first_pass", {token}, PAM_SUCCESS, 0},
        {"use_first_pass", {}, PAM_AUTH_ERR, 0},
        {"try_first_pass", {token}, PAM_SUCCESS, 0},
        {"try_first_pass", {}, PAM_SUCCESS, 1},
    };
    for (const row &c : rows) {
        SCOPED_TRACE(c.option + (c.env.empty() ? " without" : " with") + " a token");
        dir_.write("services/stacked",
                   std::string("auth required ") + BRENNIC_PAM_SET_ITEMS_PATH + "\n" +
                       module_line("auth", args_for(srv.address()) + " " + c.option));
        // The conversation's answer would be wrong: only the token can succeed silently.
        const std::string answer = c.env.empty() ? kPassword : "not-the-token";
        pam_run r = run("stacked", "smith", answer, {"auth"}, c.env);
        EXPECT_EQ(r.codes, std::vector<int>{c.code}) << r.log;
        EXPECT_EQ(r.prompts, c.prompts);
    }
}

TEST_F(PamStack, FieldsTheLinkCannotCarryFailUnsent) {
    server_process srv;
    ASSERT_TRUE(start(srv));
    service("brennic", args_for(srv.address()));
    const std::pair<std::string, std::string> refused[] = {
        {"smith", std::string(kPassword) + "\r"},
        {"smith", std::string(kPassword) + "\nx"},
        {"smith", std::string(kPassword) + " extra"}, // the server would read the first word
        {"smith", std::string(101, 'p')},
        {"smith x", kPassword},
        {std::string(101, 'u'), kPassword},
    };
    for (const auto &[user, password] : refused) {
        pam_run r = run("brennic", user, password, {"auth"});
        EXPECT_EQ(r.codes, std::vector<int>{PAM_AUTH_ERR}) << r.log;
        EXPECT_TRUE(has(r.log, "refused unsent")) << r.log;
    }
    EXPECT_FALSE(has(transcript(), "connect")) << transcript();

    // The longest password that fits is sent whole.
    const std::string longest(100, 'p');
    EXPECT_EQ(run("brennic", "smith", longest, {"auth"}).codes, std::vector<int>{PAM_AUTH_ERR});
    EXPECT_TRUE(has(transcript(), "request -1 check smith " + longest)) << transcript();
}

TEST_F(PamStack, LogsHoldNeitherPasswordNorSecret) {
    server_process srv;
    ASSERT_TRUE(start(srv));
    // The first host is down, so the library has an error to report under debug.
    const std::string down = "127.0.0.1:" + std::to_string(brennic::e2e::closed_port());
    service("brennic", args_for(down + "," + srv.address()) + " debug");
    std::string log = run("brennic", "smith", kPassword, {"auth", "acct"}).log;
    log += run("brennic", "smith", "Wr0ng-Pw", {"auth"}).log;
    EXPECT_TRUE(has(log, "accepted by " + srv.address())) << log;
    EXPECT_TRUE(has(log, "rejected by " + srv.address())) << log;
    EXPECT_TRUE(has(log, "library (level 3): ")) << log;
    EXPECT_FALSE(has(log, kPassword)) << log;
    EXPECT_FALSE(has(log, "Wr0ng-Pw")) << log;
    EXPECT_FALSE(has(log, kSecretText)) << log;
}

// A screen locker asks again in the same process: the second call gets its own link at once.
TEST_F(PamStack, RepeatedCallsInOneProcessEachReachTheServer) {
    server_process srv;
    ASSERT_TRUE(start(srv));
    service("brennic", args_for(srv.address()));
    pam_run r = run("brennic", "smith", kPassword, {"auth", "auth", "acct"});
    EXPECT_EQ(r.codes, (std::vector<int>{PAM_SUCCESS, PAM_SUCCESS, PAM_SUCCESS})) << r.log;
    const std::string sent = transcript();
    EXPECT_TRUE(has(sent, "3 request -1 lookup smith")) << sent;
}

} // namespace
