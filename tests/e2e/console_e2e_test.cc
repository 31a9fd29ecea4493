// The console against the test server: commands typed on standard input, the transcript on
// standard output compared byte for byte, and what reached the server checked as well.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/child_process.h"
#include "tests/support/json_lines.h"

using brennic::e2e::closed_port;
using brennic::e2e::read_file;
using brennic::e2e::run_result;
using brennic::e2e::server_process;
using brennic::e2e::temp_dir;
using brennic::e2e::transcript_requests;

namespace {

constexpr char kUsers[] = "smith secret1 mail=smith@example.org dept=ops\n"
                          "jones pw2 mail=jones@example.org dept=dev\n";
constexpr char kSecret[] = "e2e shared secret\n";
constexpr char kDead[] = "-ERR brenniclib failed while talking to brennic server";
constexpr int kRunLimitMs = 20000;

class Console : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        users_ = dir_.write("users.txt", kUsers);
        secret_ = dir_.write("secret.txt", kSecret);
    }

    // Server arguments that every test shares, plus a transcript of what it received.
    std::vector<std::string> server_args(std::vector<std::string> extra,
                                         const std::string &tag = "") {
        std::vector<std::string> a = {"--users", users_,         "--secret",
                                      secret_,   "--transcript", transcript(tag)};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    std::string transcript(const std::string &tag = "") const {
        return dir_.file("transcript" + tag + ".txt");
    }

    run_result console(const std::string &hosts, const std::string &input,
                       std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {BRENNIC_CONSOLE_PATH, "-host", hosts, "-secret", secret_};
        argv.insert(argv.end(), extra.begin(), extra.end());
        run_result r = brennic::e2e::run_program(argv, input, dir_.path(), kRunLimitMs);
        EXPECT_FALSE(r.timed_out) << "console did not finish; output so far:\n" << r.out;
        EXPECT_EQ(r.exit_status, 0) << r.err;
        return r;
    }

    // The request lines the server received, in order, without connection numbers.
    std::vector<std::string> requests(const std::string &tag = "") const {
        return transcript_requests(transcript(tag));
    }

    temp_dir dir_;
    std::string users_;
    std::string secret_;
};

std::string dead(const std::string &user) { return "-DEAD " + user + " " + kDead + "\n"; }

const char kHelp[] = "+DATA Valid commands\n"
                     "+DATA \tlookup username\n"
                     "+DATA \tcheck username password\n"
                     "+DATA \tset username password|(NULL) [var=\"val\" ...]\n"
                     "+DATA \tsearch string\n"
                     "+DATA \tdel username\n"
                     "+DATA \texit\n"
                     "+OK \n";

TEST_F(Console, ClosedStandardStreamsNeverBecomeTheServerLink) {
#ifdef _WIN32
    GTEST_SKIP() << "a program started with its standard descriptors closed, whose next "
                    "socket would take one of them, is a POSIX case (and needs /bin/sh)";
#endif
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({})));
    // Started with standard input closed: end of input at once, not commands read from the
    // link.
    run_result in_closed =
        brennic::e2e::run_program({"/bin/sh", "-c", "exec \"$0\" -host \"$1\" -secret \"$2\" <&-",
                                   BRENNIC_CONSOLE_PATH, srv.address(), secret_},
                                  "", dir_.path(), kRunLimitMs);
    EXPECT_FALSE(in_closed.timed_out);
    EXPECT_EQ(in_closed.out, "+OK exiting\n");
    // Started with standard output and error closed, under -debug: the replies and the
    // diagnostics are lost, and the link carries the three requests, enciphered, and nothing
    // else.
    run_result out_closed = brennic::e2e::run_program(
        {"/bin/sh", "-c", "exec \"$0\" -host \"$1\" -secret \"$2\" -debug >&- 2>&-",
         BRENNIC_CONSOLE_PATH, srv.address(), secret_},
        "check smith secret1\ndel jones\ncheck smith secret1\n", dir_.path(), kRunLimitMs);
    EXPECT_FALSE(out_closed.timed_out);
    EXPECT_EQ(out_closed.exit_status, 0);
    EXPECT_EQ(requests(), (std::vector<std::string>{"-1 check smith secret1", "-1 del jones",
                                                    "-1 check smith secret1"}));
}

TEST_F(Console, ANonBlockingOutputWithASlowReaderLosesNothing) {
#ifdef _WIN32
    GTEST_SKIP() << "a non-blocking pipe descriptor handed over as standard output is POSIX's";
#else
    // Standard output handed over as a non-blocking pipe, read only after half a second: a
    // search of some 100 KB fills the pipe, and every reply must still arrive whole, with
    // the commands after it run.
    std::string users;
    for (int i = 0; i < 2000; ++i)
        users += "u" + std::to_string(i) + " pw note=" + std::string(40, 'n') + "\n";
    users_ = dir_.write("many.txt", users);
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({})));
    const std::string input = dir_.write("input.txt", "search note\ndel u1\nlookup u1\n");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    fcntl(out[1], F_SETFL, fcntl(out[1], F_GETFL) | O_NONBLOCK);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int in = open(input.c_str(), O_RDONLY);
        dup2(in, 0);
        dup2(out[1], 1);
        close(out[0]);
        execl(BRENNIC_CONSOLE_PATH, BRENNIC_CONSOLE_PATH, "-host", srv.address().c_str(), "-secret",
              secret_.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    usleep(500 * 1000);
    std::string got;
    char buf[65536];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(got.find("+OK search 2000 found\n"), std::string::npos);
    const std::string tail = "+OK u1 deleted\n-ERR u1 no such user\n+OK exiting\n";
    EXPECT_EQ(got.substr(got.size() - std::min(got.size(), tail.size())), tail);
    EXPECT_EQ(requests(),
              (std::vector<std::string>{"-1 search note", "-1 del u1", "-1 lookup u1"}));
#endif
}

TEST_F(Console, EveryCommandThroughOneLink) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({})));
    run_result r = console(srv.address(), "check smith secret1\n"
                                          "check smith wrong\n"
                                          "lookup smith extra words\n"
                                          "set brown pw a=1  b=2\n"
                                          "mod brown (NULL) b=3\n"
                                          "check brown pw\n"
                                          "del jones\n"
                                          "del jones\n"
                                          "  SEARCH Example\n"
                                          "search nothing-here\n"
                                          "help\n"
                                          "version\n"
                                          "FOO bar\n"
                                          "\n"
                                          "quit\n"
                                          "check smith secret1\n");
    EXPECT_EQ(r.out, std::string("+OK smith password accepted\n"
                                 "-ERR smith password rejected\n"
                                 "+OK smith mail=smith@example.org dept=ops\n"
                                 "+OK brown created\n"
                                 "+OK brown modified\n"
                                 "+OK brown password accepted\n"
                                 "+OK jones deleted\n"
                                 "-ERR jones no such user\n"
                                 "+DATA smith mail=smith@example.org dept=ops\n"
                                 "+OK search 1 found\n"
                                 "+OK search 0 found\n") +
                         kHelp +
                         "+OK brennic version 1.2a\n"
                         "-ERR Invalid command (foo) use help\n"
                         "-ERR Invalid command (nocommand) use help\n"
                         "+OK exiting\n");
    EXPECT_EQ(requests(), (std::vector<std::string>{
                              "-1 check smith secret1", "-1 check smith wrong", "-1 lookup smith",
                              "-1 set brown pw a=1  b=2", "-1 mod brown (NULL) b=3",
                              "-1 check brown pw", "-1 del jones", "-1 del jones",
                              "-1   SEARCH Example", "-1 search nothing-here"}));
}

TEST_F(Console, EndOfInputWithoutQuitAndShortArguments) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({})));
    run_result r = console(srv.address(), "set smith\ncheck smith");
    EXPECT_EQ(r.out, "+OK smith replaced\n-ERR smith password rejected\n+OK exiting\n");
    // Missing fields travel as empty texts with their separators in place.
    EXPECT_EQ(requests(), (std::vector<std::string>{"-1 set smith  ", "-1 check smith "}));
}

TEST_F(Console, ReplyNamingAnotherUserIsMarkedForTheRequestedOne) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--wrong-user", "jones"})));
    run_result r = console(srv.address(), "check smith secret1\nlookup smith\ncheck nobody x\n"
                                          "del smith\n");
    EXPECT_EQ(r.out, "-ERR smith +OK jones password accepted\n"
                     "-ERR smith +OK jones mail=smith@example.org dept=ops\n"
                     "-ERR nobody -ERR jones no such user\n"
                     // set, mod and del print the reply as it came.
                     "+OK jones deleted\n"
                     "+OK exiting\n");
}

TEST_F(Console, NoServerAtAll) {
    run_result r = console("127.0.0.1:1", "check smith secret1\nlookup smith\nset smith pw a=1\n"
                                          "search smith\nversion\n");
    // set prints the failure text as it came; so does search, whose lines would otherwise
    // leave a failed search without any answer.
    EXPECT_EQ(r.out, dead("smith") + dead("smith") + kDead + "\n" + kDead + "\n" +
                         "+OK brennic version 1.2a\n+OK exiting\n");
}

TEST_F(Console, DebugLinesComeAheadOfTheReply) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({})));
    run_result r = console(srv.address(), "check smith secret1\n", {"-debug"});
    const std::string &o = r.out;
    std::size_t found = o.find("Info: Found host (" + srv.address() + ")\n");
    std::size_t secret = o.find("Info: Secret string (e2e shared secret) \n");
    std::size_t send = o.find("Info: Send request to host 0 " + srv.address() + ", user (smith)");
    std::size_t reply = o.find("\n+OK smith password accepted\n");
    std::size_t bye = o.find("\n+OK exiting\n");
    ASSERT_NE(found, std::string::npos) << o;
    ASSERT_NE(secret, std::string::npos) << o;
    ASSERT_NE(send, std::string::npos) << o;
    ASSERT_NE(reply, std::string::npos) << o;
    EXPECT_LT(found, secret);
    EXPECT_LT(secret, send);
    EXPECT_LT(send, reply);
    EXPECT_EQ(bye + 13, o.size()) << "the exit line comes last";
    // Every line is a reply or a diagnostic echo.
    std::istringstream in(o);
    std::string line;
    const std::regex shape("^(\\+OK|-ERR|-DEAD|\\+DATA|Info: |Error: |Debug: ).*");
    while (std::getline(in, line))
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
    EXPECT_FALSE(std::ifstream(dir_.file("brennic.log")).good()) << "no log file without -dolog";
}

TEST_F(Console, DologWritesAPrivateStampedLogFile) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({})));
    run_result r = console(srv.address(), "check smith secret1\n", {"-dolog"});
    EXPECT_EQ(r.out, "+OK smith password accepted\n+OK exiting\n");
    ASSERT_TRUE(std::filesystem::exists(dir_.file("brennic.log")));
#ifndef _WIN32
    // Read and write for its owner alone. (Windows keeps no such mode bits.)
    using std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status(dir_.file("brennic.log")).permissions() & perms::all,
              perms::owner_read | perms::owner_write);
#endif
    std::string log = read_file(dir_.file("brennic.log"));
    EXPECT_NE(log.find(" Info: Found host (" + srv.address() + ")\n"), std::string::npos) << log;
    std::istringstream in(log);
    std::string line;
    int count = 0;
    const std::regex stamped("^[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] (Info|Error|Debug): .*");
    while (std::getline(in, line)) {
        EXPECT_TRUE(std::regex_match(line, stamped)) << line;
        ++count;
    }
    EXPECT_GT(count, 3);
}

// Libraries lying in the directory the console is started from are never loaded: a
// search there would run whatever code was put in place of the C library.
TEST_F(Console, IgnoresLibrariesInTheCurrentDirectory) {
#ifdef _WIN32
    const char *const names[] = {"brennic.dll", "ws2_32.dll", "msvcrt.dll"};
#else
    const char *const names[] = {"libc.so.6", "libbrennic.so.1"};
#endif
    for (const char *name : names)
        dir_.write(name, "not a library\n");
    run_result r = console("127.0.0.1:" + std::to_string(closed_port()), "version\n");
    EXPECT_EQ(r.out, "+OK brennic version 1.2a\n+OK exiting\n");
    EXPECT_EQ(r.err.find("shared librar"), std::string::npos) << r.err;
}

// The console writes its output as text: a line ends in LF, and in CR LF on Windows, where
// text mode writes each LF that way. (The other tests read CR LF as LF.)
TEST_F(Console, OutputLinesEndAsThePlatformsTextLinesDo) {
#ifdef _WIN32
    const std::string line_end = "\r\n";
#else
    const std::string line_end = "\n";
#endif
    run_result r = console("127.0.0.1:" + std::to_string(closed_port()), "version\nhelp\nFOO\n");
    std::string want;
    for (char c : "+OK brennic version 1.2a\n" + std::string(kHelp) +
                      "-ERR Invalid command (foo) use help\n+OK exiting\n") {
        if (c == '\n') {
            want += line_end;
        } else {
            want += c;
        }
    }
    EXPECT_EQ(r.raw_out, want);
}

TEST_F(Console, FailsOverWhenTheFirstServerRefusesConnections) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({})));
    std::string hosts = "127.0.0.1:" + std::to_string(closed_port()) + "," + srv.address();
    run_result r = console(hosts, "check smith secret1\nlookup jones\n");
    EXPECT_EQ(r.out, "+OK smith password accepted\n"
                     "+OK jones mail=jones@example.org dept=dev\n"
                     "+OK exiting\n");
    EXPECT_EQ(requests(), (std::vector<std::string>{"-1 check smith secret1", "-1 lookup jones"}));
}

TEST_F(Console, HandshakeRefusedByTheServer) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--refuse-handshake"})));
    run_result r = console(srv.address(), "check smith secret1\n");
    EXPECT_EQ(r.out, "-DEAD Failed 1 -ERR handshake refused\n" + dead("smith") + "+OK exiting\n");
    EXPECT_TRUE(requests().empty());
}

TEST_F(Console, WrongSecretIsRefusedByTheServer) {
    server_process srv;
    std::string other = dir_.write("other.txt", "not the same secret\n");
    ASSERT_TRUE(srv.start({"--users", users_, "--secret", other}));
    run_result r = console(srv.address(), "lookup smith\n");
    EXPECT_EQ(r.out, "-DEAD Failed 1 -ERR bad secret\n" + dead("smith") + "+OK exiting\n");
}

TEST_F(Console, OneByteHandshakeReplyIsAReadFailureNotARefusal) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--handshake-one-byte"})));
    run_result r = console(srv.address(), "check smith secret1\n");
    EXPECT_EQ(r.out, dead("smith") + "+OK exiting\n");
}

TEST_F(Console, ServerDyingBeforeTheReply) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--die-after", "0"})));
    run_result r = console(srv.address(), "check smith secret1\n", {"-debug"});
    // The reply never comes; the one retry finds the only host throttled.
    EXPECT_NE(r.out.find("Info: free result, retry..."), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("retry...", r.out.find("retry...") + 1), std::string::npos)
        << "a single retry only";
    std::size_t retry = r.out.find("Info: free result, retry...");
    std::size_t failed = r.out.find(std::string("\n").append(dead("smith")));
    EXPECT_NE(failed, std::string::npos) << r.out;
    EXPECT_LT(retry, failed);
    EXPECT_TRUE(r.out.ends_with("\n+OK exiting\n"));
    EXPECT_EQ(requests(), (std::vector<std::string>{"-1 check smith secret1"}));
}

TEST_F(Console, ServerDyingBeforeTheReplyIsRetriedOnTheNextHost) {
    server_process first, second;
    ASSERT_TRUE(first.start(server_args({"--die-after", "0"}, "1")));
    ASSERT_TRUE(second.start(server_args({}, "2")));
    run_result r =
        console(first.address() + "," + second.address(), "check smith secret1\ncheck jones pw2\n");
    EXPECT_EQ(r.out, "+OK smith password accepted\n+OK jones password accepted\n+OK exiting\n");
    EXPECT_EQ(requests("1"), (std::vector<std::string>{"-1 check smith secret1"}));
    // The retry and the request after it both go to the second server.
    EXPECT_EQ(requests("2"),
              (std::vector<std::string>{"-1 check smith secret1", "-1 check jones pw2"}));
}

TEST_F(Console, ConnectionResetAtARequest) {
    server_process first, second;
    ASSERT_TRUE(first.start(server_args({"--reset-at", "2"}, "1")));
    ASSERT_TRUE(second.start(server_args({}, "2")));
    run_result r = console(first.address() + "," + second.address(),
                           "lookup smith\nlookup jones\nlookup smith\n");
    EXPECT_EQ(r.out, "+OK smith mail=smith@example.org dept=ops\n"
                     "+OK jones mail=jones@example.org dept=dev\n"
                     "+OK smith mail=smith@example.org dept=ops\n"
                     "+OK exiting\n");
    EXPECT_EQ(requests("1"), (std::vector<std::string>{"-1 lookup smith", "-1 lookup jones"}));
    EXPECT_EQ(requests("2"), (std::vector<std::string>{"-1 lookup jones", "-1 lookup smith"}));
}

TEST_F(Console, RepliesArrivingInPieces) {
    const std::string input = "check smith secret1\nlookup smith\nsearch example\n";
    const std::string want = "+OK smith password accepted\n"
                             "+OK smith mail=smith@example.org dept=ops\n"
                             "+DATA jones mail=jones@example.org dept=dev\n"
                             "+DATA smith mail=smith@example.org dept=ops\n"
                             "+OK search 2 found\n"
                             "+OK exiting\n";
    {
        server_process srv;
        ASSERT_TRUE(srv.start(server_args({"--chunk", "7", "--pause", "3"})));
        EXPECT_EQ(console(srv.address(), input).out, want);
    }
    {
        server_process srv;
        ASSERT_TRUE(srv.start(server_args({"--byte-per-ms"})));
        EXPECT_EQ(console(srv.address(), "check smith secret1\n").out,
                  "+OK smith password accepted\n+OK exiting\n");
    }
}

TEST_F(Console, JunkAheadOfTheReplyIsDropped) {
    for (auto extra : {std::vector<std::string>{"--overlong", "100000"},
                       std::vector<std::string>{"--garbage", "300"}}) {
        server_process srv;
        ASSERT_TRUE(srv.start(server_args(extra)));
        run_result r = console(srv.address(), "check smith secret1\ncheck jones pw2\n", {"-debug"});
        EXPECT_NE(r.out.find("\n+OK smith password accepted\n"), std::string::npos) << extra[0];
        EXPECT_NE(r.out.find("\n+OK jones password accepted\n"), std::string::npos) << extra[0];
        if (extra[0] == "--overlong") {
            // The whole line goes, its tail included.
            EXPECT_NE(r.out.find("Error: Throwing away incoming data, line too long"),
                      std::string::npos);
            EXPECT_EQ(r.out.find("Error: Unknown response"), std::string::npos);
        } else {
            EXPECT_NE(r.out.find("Error: Unknown response"), std::string::npos) << extra[0];
        }
    }
}

TEST_F(Console, NulBytesInsideAReplyLine) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--nul-in-reply"})));
    run_result r = console(srv.address(), "check smith secret1\nsearch jones\n");
    // The line holding NULs is carried whole; its text ends at the first NUL.
    EXPECT_EQ(r.out, "+OK smith password accepted\n"
                     "+DATA nul\n"
                     "+DATA jones mail=jones@example.org dept=dev\n"
                     "+OK search 1 found\n"
                     "+OK exiting\n");
}

TEST_F(Console, LongestAttributeTextTravelsWholeBothWays) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({})));
    std::string attrs;
    while (attrs.size() < 18000)
        attrs.append("k").append(std::to_string(attrs.size())).append("=v ");
    attrs.resize(18000);
    if (attrs.back() == ' ') attrs.back() = 'x';
    std::string too_long = attrs + "y";
    run_result r = console(srv.address(),
                           "set big pw " + attrs + "\nlookup big\nset big pw " + too_long + "\n");
    EXPECT_EQ(r.out, "+OK big created\n+OK big " + attrs +
                         "\n-ERR big brennic_lib call failed, see brennic.log\n+OK exiting\n");
    auto sent = requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], "-1 set big pw " + attrs);
}

// ---- the options for scripts ----

TEST_F(Console, JsonCarriesHostileServerTextAsValidObjects) {
    users_ =
        dir_.write("hostile.txt", "smith secret1 q=\"a\\b\" \x1b]0;title\x07 \xff\xfe\xc3\xa9\n");
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--nul-in-reply"})));
    std::vector<std::string> argv = {BRENNIC_CONSOLE_PATH, "-json",   "-strict", "-status", "-host",
                                     srv.address(),        "-secret", secret_};
    run_result r = brennic::e2e::run_program(argv,
                                             "check smith secret1\nlookup smith\n# skipped\n"
                                             "set brown pw a=1\nmod brown pw b=2\ndel brown\n"
                                             "search title\nstatus\nhelp\nversion\n",
                                             dir_.path(), kRunLimitMs);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    const auto parsed = brennic::test::parse_json_lines(r.out);
    ASSERT_TRUE(parsed.ok) << parsed.error << "\n" << r.out;
    const auto &o = parsed.objects;
    ASSERT_EQ(o.size(), 10u) << r.out;
    const std::vector<std::string> commands = {"check",  "lookup", "set",  "mod",    "del",
                                               "search", "status", "help", "version"};
    const std::vector<int> seqs = {1, 2, 4, 5, 6, 7, 8, 9, 10};
    for (std::size_t i = 0; i < commands.size(); ++i) {
        EXPECT_EQ(o[i].at("seq"), std::to_string(seqs[i]));
        EXPECT_EQ(o[i].at("command"), "\"" + commands[i] + "\"");
        EXPECT_EQ(o[i].at("outcome"), "\"ok\"") << commands[i];
        if (i < 6) {
            EXPECT_EQ(o[i].at("host"), "\"" + srv.address() + "\"") << commands[i];
        }
    }
    const std::string attrs = "q=\\\"a\\\\b\\\" \\u001b]0;title\\u0007 \\u00ff\\u00fe\\u00e9";
    EXPECT_EQ(o[1].at("reply"), "\"+OK smith " + attrs + "\"");
    // The NUL line is carried up to its first NUL.
    EXPECT_EQ(o[5].at("lines"),
              "[\"+DATA nul\", \"+DATA smith " + attrs + "\", \"+OK search 1 found\"]");
    EXPECT_EQ(o[9].at("event"), "\"exiting\"");
}

TEST_F(Console, ARefusingHostIsAnEventAndNeverShiftsACommand) {
    server_process refusing, good;
    ASSERT_TRUE(refusing.start(server_args({"--refuse-handshake"}, "1")));
    ASSERT_TRUE(good.start(server_args({}, "2")));
    run_result r =
        brennic::e2e::run_program({BRENNIC_CONSOLE_PATH, "-json", "-host",
                                   refusing.address() + "," + good.address(), "-secret", secret_},
                                  "check smith secret1\nlookup jones\n", dir_.path(), kRunLimitMs);
    const auto parsed = brennic::test::parse_json_lines(r.out);
    ASSERT_TRUE(parsed.ok) << parsed.error << "\n" << r.out;
    const auto &o = parsed.objects;
    ASSERT_EQ(o.size(), 4u) << r.out;
    EXPECT_EQ(o[0].at("event"), "\"refused\"");
    EXPECT_EQ(o[0].at("host"), "\"" + refusing.address() + "\"");
    EXPECT_EQ(o[0].at("text"), "\"1 -ERR handshake refused\"");
    EXPECT_EQ(o[0].count("seq"), 0u);
    for (std::size_t i = 1; i <= 2; ++i) {
        EXPECT_EQ(o[i].at("seq"), std::to_string(i));
        EXPECT_EQ(o[i].at("outcome"), "\"ok\"");
        EXPECT_EQ(o[i].at("host"), "\"" + good.address() + "\"");
    }
    EXPECT_EQ(o[1].at("reply"), "\"+OK smith password accepted\"");
    EXPECT_EQ(o[2].at("reply"), "\"+OK jones mail=jones@example.org dept=dev\"");
}

TEST_F(Console, TimeoutEndsACommandASilentHostHolds) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--stall-ms", "20000"})));
    const auto began = std::chrono::steady_clock::now();
    run_result r = brennic::e2e::run_program({BRENNIC_CONSOLE_PATH, "-json", "-status", "-timeout",
                                              "0.5", "-host", srv.address(), "-secret", secret_},
                                             "check smith secret1\n", dir_.path(), kRunLimitMs);
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_LT(took, std::chrono::seconds(4)) << "the deadline is half a second";
    EXPECT_EQ(r.exit_status, 2);
    const auto parsed = brennic::test::parse_json_lines(r.out);
    ASSERT_TRUE(parsed.ok) << parsed.error << "\n" << r.out;
    ASSERT_EQ(parsed.objects.size(), 2u) << r.out;
    const auto &o = parsed.objects[0];
    EXPECT_EQ(o.at("outcome"), "\"timeout\"");
    EXPECT_EQ(o.at("reply"), "\"-ERR smith no reply from brennic server\"");
    const double ms = std::stod(o.at("ms"));
    EXPECT_GE(ms, 450.0);
    EXPECT_LT(ms, 3000.0);
}

TEST_F(Console, StrictRefusesAnUnknownOptionOnStandardError) {
    run_result r = brennic::e2e::run_program({BRENNIC_CONSOLE_PATH, "-strict", "-hots", "x"},
                                             "version\n", dir_.path(), kRunLimitMs);
    EXPECT_EQ(r.exit_status, 64);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Usage: brennic [-host 127.0.0.1] [-secret codestring] [-debug] [-dolog]\n");
}

} // namespace
