// The console driven through streams against the scripted library.
#if !defined(_WIN32) // a full device, terminals and reads by descriptor: POSIX only
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shell/shell.h"
#include "tests/unit/shell/fake_brennic.h"

namespace {

using brennic::shell_main;

std::string read_all(std::FILE *f) {
    std::fflush(f);
    std::rewind(f);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    return out;
}

class ShellTest : public ::testing::Test {
  protected:
    void SetUp() override {
        brennic::shell_reset();
        fake::reset();
    }
    void TearDown() override { brennic::shell_reset(); }

    // Runs the console with these arguments and this standard input; returns its output.
    std::string run(std::vector<std::string> args, const std::string &input) {
        std::FILE *in = std::tmpfile();
        std::FILE *out = std::tmpfile();
        std::fwrite(input.data(), 1, input.size(), in);
        std::rewind(in);
        out_stream = out;
        std::vector<char *> argv;
        std::string program = "brennic";
        argv.push_back(program.data());
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        status = shell_main(static_cast<int>(args.size() + 1), argv.data(), in, out);
        input_left = std::ftell(in);
        std::string text = read_all(out);
        brennic::shell_out = stdout;
        std::fclose(in);
        std::fclose(out);
        out_stream = nullptr;
        return text;
    }
    std::string run(const std::string &input) { return run({}, input); }

    static void answer(std::optional<std::string> text, int ret = 1) {
        fake::fake_state.answers.push_back({ret, std::move(text), {}, {}});
    }
    static const fake::call &only_call() {
        EXPECT_EQ(fake::fake_state.calls.size(), 1u);
        return fake::fake_state.calls.at(0);
    }

    int status = -1;
    long input_left = 0;
    std::FILE *out_stream = nullptr;
};

const std::string kExiting = "+OK exiting\n";
const std::string kNoCommand = "-ERR Invalid command (nocommand) use help\n";
const std::string kVersion = "+OK brennic version 1.2a\n";
const std::string kUsage =
    "Usage: brennic [-host 127.0.0.1] [-secret codestring] [-debug] [-dolog]\n";

// ---- options ----

TEST_F(ShellTest, NoArgumentsUseDefaultHostAndEmptySecret) {
    EXPECT_EQ(run(""), kExiting);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(fake::fake_state.init_calls, 1);
    EXPECT_EQ(fake::fake_state.init_hosts, "127.0.0.1");
    EXPECT_EQ(fake::fake_state.init_secret, "");
    EXPECT_EQ(fake::fake_state.log, nullptr) << "no one would see the diagnostics";
}

TEST_F(ShellTest, TheLogSinkIsGivenOnlyWithDebugOrDolog) {
    run({"-debug"}, "");
    EXPECT_NE(fake::fake_state.log, nullptr);
    brennic::shell_reset();
    fake::reset();
    run({"-dolog"}, "");
    EXPECT_NE(fake::fake_state.log, nullptr);
    brennic::shell_reset();
    fake::reset();
    run({"-DEBUG", "-host", "-dolog"}, "");
    EXPECT_EQ(fake::fake_state.log, nullptr) << "an option value is not an option";
}

TEST_F(ShellTest, VersionAndHelpEndAtOnceInArgumentOrder) {
    EXPECT_EQ(run({"-debug", "-version", "-dolog"}, "version\n"), kVersion);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(brennic::debug_flag, 1);
    EXPECT_EQ(brennic::dolog_flag, 0) << "arguments after -version are not examined";
    EXPECT_EQ(fake::fake_state.init_calls, 0);

    EXPECT_EQ(run({"-version", "-help"}, ""), kVersion);
    EXPECT_EQ(run({"-help", "-version"}, ""), kUsage);
    EXPECT_EQ(run({"-h"}, ""), kUsage);
    EXPECT_EQ(fake::fake_state.init_calls, 0);
}

TEST_F(ShellTest, OptionsAreCaseSensitiveWholeWords) {
    EXPECT_EQ(run({"-HELP", "-Debug", "-dologx", "help", "-", ""}, ""), kExiting);
    EXPECT_EQ(brennic::debug_flag, 0);
    EXPECT_EQ(brennic::dolog_flag, 0);
}

TEST_F(ShellTest, FlagsAndValues) {
    run({"-debug", "-dolog", "-secret", "/etc/s.dat", "-host", "a:1,b"}, "");
    EXPECT_EQ(brennic::debug_flag, 1);
    EXPECT_EQ(brennic::dolog_flag, 1);
    EXPECT_EQ(fake::fake_state.init_secret, "/etc/s.dat");
    EXPECT_EQ(fake::fake_state.init_hosts, "a:1,b");
}

TEST_F(ShellTest, OptionValuesPassWholeUpTo999Characters) {
    const std::string five = "dir1.corp.example.com:601,dir2.corp.example.com:601,"
                             "dir3.corp.example.com:601,dir4.corp.example.com:601,"
                             "dir5.corp.example.com:601";
    run({"-host", five, "-secret", std::string(150, 's')}, "");
    EXPECT_EQ(fake::fake_state.init_hosts, five);
    EXPECT_EQ(fake::fake_state.init_secret, std::string(150, 's'));
    brennic::shell_reset();
    run({"-host", std::string(999, 'h'), "-secret", std::string(999, 's')}, "");
    EXPECT_EQ(fake::fake_state.init_hosts, std::string(999, 'h'));
    EXPECT_EQ(fake::fake_state.init_secret, std::string(999, 's'));
}

// A value the library would cut is refused: the library starts with no host at all, never
// with the default server or secret file in place of what was given.
TEST_F(ShellTest, LongerOptionValuesAreRefusedAndNoHostIsUsed) {
    const std::string over(1000, 'v');
    const struct {
        std::vector<std::string> args;
        std::string said;
        std::string secret;
    } cases[] = {
        {{"-host", over}, "-ERR -host value longer than 999 characters\n", ""},
        {{"-secret", over, "-host", "a"}, "-ERR -secret value longer than 999 characters\n", ""},
        {{"-secret", "s.dat", "-host", over}, "-ERR -host value longer than 999 characters\n", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.said);
        brennic::shell_reset();
        fake::reset();
        EXPECT_EQ(run(c.args, ""), c.said + kExiting);
        EXPECT_EQ(fake::fake_state.init_calls, 1);
        EXPECT_EQ(fake::fake_state.init_hosts, "");
        EXPECT_EQ(fake::fake_state.init_secret, c.secret);
    }
    // -version still prints its line alone.
    EXPECT_EQ(run({"-host", over, "-version"}, ""), kVersion);
}

TEST_F(ShellTest, RepeatedValueKeepsTheLastOneOnly) {
    run({"-host", "longhostname", "-host", "b"}, "");
    EXPECT_EQ(fake::fake_state.init_hosts, "b");
}

TEST_F(ShellTest, ValueOptionAsLastArgumentIsIgnored) {
    EXPECT_EQ(run({"-secret"}, ""), kExiting);
    EXPECT_EQ(fake::fake_state.init_secret, "");
    EXPECT_EQ(run({"-host"}, ""), kExiting);
    EXPECT_EQ(fake::fake_state.init_hosts, "127.0.0.1");
}

TEST_F(ShellTest, ValueTakenByAnOptionIsNotAnOption) {
    EXPECT_EQ(run({"-secret", "-host", "x"}, ""), kExiting);
    EXPECT_EQ(fake::fake_state.init_secret, "-host");
    EXPECT_EQ(fake::fake_state.init_hosts, "127.0.0.1");
    EXPECT_EQ(run({"-host", "-version"}, ""), kExiting);
    EXPECT_EQ(fake::fake_state.init_hosts, "-version");
}

TEST_F(ShellTest, InitFailureIsReportedAndTheLoopRuns) {
    fake::fake_state.init_ret = 0;
    EXPECT_EQ(run("version\n"),
              "-ERR Could not initialize brennic library\n" + kVersion + kExiting);
}

// ---- the command loop and line cutting ----

TEST_F(ShellTest, HelpBlock) {
    EXPECT_EQ(run("help\n"), "+DATA Valid commands\n"
                             "+DATA \tlookup username\n"
                             "+DATA \tcheck username password\n"
                             "+DATA \tset username password|(NULL) [var=\"val\" ...]\n"
                             "+DATA \tsearch string\n"
                             "+DATA \tdel username\n"
                             "+DATA \texit\n"
                             "+OK \n" +
                                 kExiting);
}

TEST_F(ShellTest, BlankLinesAreInvalid) {
    EXPECT_EQ(run("\n   \n\r\n \r \n   "),
              kNoCommand + kNoCommand + kNoCommand + kNoCommand + kNoCommand + kExiting);
}

TEST_F(ShellTest, UnknownWordsAreLowerCasedInTheMessage) {
    EXPECT_EQ(run("FOO Bar\n"), "-ERR Invalid command (foo) use help\n" + kExiting);
    // Bytes above 127 are left as they are; only A to Z change.
    EXPECT_EQ(run("\xC3\x89X\n"), "-ERR Invalid command (\xC3\x89x) use help\n" + kExiting);
}

TEST_F(ShellTest, TabIsPartOfTheCommandWord) {
    EXPECT_EQ(run("check\tsmith pw\n"),
              "-ERR Invalid command (check\tsmith) use help\n" + kExiting);
    EXPECT_TRUE(fake::fake_state.calls.empty());
}

TEST_F(ShellTest, CheckInCapitalsKeepsArgumentCase) {
    answer("+OK Smith");
    EXPECT_EQ(run("  CHECK Smith PassWord\r\n"), "+OK Smith\n" + kExiting);
    const auto &c = only_call();
    EXPECT_EQ(c.op, "check");
    EXPECT_EQ(c.id, -1);
    EXPECT_EQ(c.user, "Smith");
    EXPECT_EQ(c.password, "PassWord");
}

TEST_F(ShellTest, ExtraWordsAreIgnored) {
    answer("+OK smith");
    run("lookup smith extra words\n");
    EXPECT_EQ(only_call().op, "lookup");
    EXPECT_EQ(only_call().user, "smith");
}

TEST_F(ShellTest, PasswordIsOneWord) {
    run("check smith pass word\n");
    EXPECT_EQ(only_call().password, "pass");
}

TEST_F(ShellTest, MissingArgumentsAreEmptyTexts) {
    answer("-ERR no user");
    EXPECT_EQ(run("set smith\n"), "-ERR no user\n" + kExiting);
    const auto &c = only_call();
    EXPECT_EQ(c.op, "set");
    EXPECT_EQ(c.user, "smith");
    EXPECT_EQ(c.password, "");
    EXPECT_EQ(c.rest, "");
}

TEST_F(ShellTest, RestStartsAfterTheSingleDelimiter) {
    run("set smith pw a=1 b=2\r\n"
        "mod smith pw  a=\"x y\"  \n"
        "set smith pw\n"
        "set smith pw \r\n"
        "set smith pw\rtail\n");
    const auto &calls = fake::fake_state.calls;
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].rest, "a=1 b=2");
    EXPECT_EQ(calls[1].op, "mod");
    EXPECT_EQ(calls[1].rest, " a=\"x y\"  ");
    EXPECT_EQ(calls[2].rest, "");
    EXPECT_EQ(calls[3].rest, "");
    EXPECT_EQ(calls[4].password, "pw");
    EXPECT_EQ(calls[4].rest, "tail");
}

TEST_F(ShellTest, LoneCarriageReturnSeparatesWords) {
    run("lookup smith\rjones\n");
    EXPECT_EQ(only_call().user, "smith");
}

TEST_F(ShellTest, SearchGetsTheWholeLineAsTyped) {
    fake::fake_state.answers.push_back({1, "+OK 2 found", {"+DATA smith", "+OK 2 found"}, {}});
    EXPECT_EQ(run("  SEARCH Smith  cn=*\r\n"), "+DATA smith\n+OK 2 found\n" + kExiting);
    const auto &c = only_call();
    EXPECT_EQ(c.op, "search");
    EXPECT_EQ(c.id, -1);
    EXPECT_EQ(c.user, "  SEARCH Smith  cn=*");
    EXPECT_TRUE(c.has_line_fn);
}

TEST_F(ShellTest, SearchLineIsCutAtTheFirstLineEndAndAt19900) {
    run("search a\rb\n");
    EXPECT_EQ(only_call().user, "search a");
    fake::reset();
    std::string long_line = "search " + std::string(19900, 'q');
    run(long_line + "\n");
    EXPECT_EQ(only_call().user, long_line.substr(0, 19900));
}

TEST_F(ShellTest, QuitEndsTheLoopWithoutReadingFurther) {
    EXPECT_EQ(run("version\nQUIT\nversion\n"), kVersion + kExiting);
    EXPECT_EQ(input_left, 13) << "the line after quit must stay unread";
    EXPECT_EQ(run("exit now\nlookup x\n"), kExiting);
    EXPECT_TRUE(fake::fake_state.calls.empty());
}

TEST_F(ShellTest, OutputThatCannotBeWrittenStopsTheCommandsWithStatus1) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs a device that is always full (/dev/full), which Windows lacks";
#else
    // Replies to a full device reach nobody: the first one that fails ends the loop, so the
    // del after it is never sent, and the status says so.
    std::FILE *in = std::tmpfile();
    const std::string input = "lookup smith\ndel smith\n";
    std::fwrite(input.data(), 1, input.size(), in);
    std::rewind(in);
    std::FILE *full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    answer("+OK smith mail=smith@example.org");
    answer("+OK smith deleted");
    std::string program = "brennic";
    char *argv[] = {program.data(), nullptr};
    const int fd = dup(2);
    std::FILE *err = std::tmpfile();
    dup2(fileno(err), 2);
    status = shell_main(1, argv, in, full);
    std::fflush(stderr);
    dup2(fd, 2);
    close(fd);
    brennic::shell_out = stdout;
    EXPECT_EQ(status, 1);
    ASSERT_EQ(fake::fake_state.calls.size(), 1u) << "a command ran after its output failed";
    EXPECT_EQ(read_all(err), "brennic: standard output: No space left on device\n");

    // What start-up wrote fails already: no command runs at all.
    brennic::shell_reset();
    fake::reset();
    fake::fake_state.init_ret = 0; // "-ERR Could not initialize brennic library"
    std::rewind(in);
    std::FILE *full2 = std::fopen("/dev/full", "w");
    ASSERT_NE(full2, nullptr);
    status = shell_main(1, argv, in, full2);
    brennic::shell_out = stdout;
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(fake::fake_state.calls.empty()) << "a command ran after start-up output failed";
    std::fclose(full2);
    std::fclose(err);
    std::fclose(full);
    std::fclose(in);
#endif
}

TEST_F(ShellTest, EndOfInputWithoutNewline) { EXPECT_EQ(run("version"), kVersion + kExiting); }

TEST_F(ShellTest, LongLinesAreReadInPiecesOf19998) {
    // 19997 characters and LF: one line.
    EXPECT_EQ(run("version" + std::string(19990, ' ') + "\n"), kVersion + kExiting);
    // 19998 characters: the LF is read as a blank line of its own.
    EXPECT_EQ(run("version" + std::string(19991, ' ') + "\n"), kVersion + kNoCommand + kExiting);
    // The remainder of a long line is the next command.
    EXPECT_EQ(run(std::string(19998, 'x') + "version\n"), "-ERR Invalid command (" +
                                                              std::string(19998, 'x') +
                                                              ") use help\n" + kVersion + kExiting);
}

TEST_F(ShellTest, NulEndsTheLineText) {
    EXPECT_EQ(run(std::string("version\0lookup x\n", 17) + std::string("\0\n", 2) + "version\n"),
              kVersion + kNoCommand + kVersion + kExiting);
    EXPECT_TRUE(fake::fake_state.calls.empty());
}

TEST_F(ShellTest, BinaryInputEndsCleanly) {
    std::string junk;
    unsigned x = 12345;
    for (int i = 0; i < 60000; ++i) {
        x = x * 1103515245u + 12345u;
        junk.push_back(static_cast<char>((x >> 16) & 0xff));
    }
    std::string out = run(junk);
    EXPECT_EQ(out.substr(out.size() - kExiting.size()), kExiting);
    EXPECT_EQ(fake::fake_state.records_made, fake::fake_state.records_freed);
}

// ---- replies ----

TEST_F(ShellTest, CheckAndLookupRenderTheReply) {
    answer("+OK smith");
    answer("-ERR smith bad password");
    answer("+OK jones");
    answer("+OK");
    answer("-ERR brenniclib failed while talking to brennic server");
    answer("+OK smithers");
    answer("+OK Smith");
    EXPECT_EQ(run("check smith pw\ncheck smith pw\nlookup smith\nlookup smith\n"
                  "check smith pw\nlookup smith\nlookup smith\n"),
              "+OK smith\n"
              "-ERR smith bad password\n"
              "-ERR smith +OK jones\n"
              "+OK\n"
              "-DEAD smith -ERR brenniclib failed while talking to brennic server\n"
              "-ERR smith +OK smithers\n"
              "-ERR smith +OK Smith\n" +
                  kExiting);
}

// A user name or password the library would cut is refused before anything is sent: a
// password cut short could pass for another one.
TEST_F(ShellTest, OverlongUserOrPasswordIsRefusedUnsent) {
    const std::string u100(100, 'u'), u101 = u100 + "x", p101(101, 'p');
    const std::string refusal = " user name or password longer than 100 characters\n";
    EXPECT_EQ(run("check " + u101 + " pw\ncheck smith " + p101 + "\nlookup " + u101 + "\ndel " +
                  u101 + "\nset smith " + p101 + " a=1\nmod " + u101 + " pw\n"),
              "-ERR " + u100 + refusal + "-ERR smith" + refusal + "-ERR " + u100 + refusal +
                  "-ERR " + u100 + refusal + "-ERR smith" + refusal + "-ERR " + u100 + refusal +
                  kExiting);
    EXPECT_TRUE(fake::fake_state.calls.empty());

    // 100 characters each go through whole; the rendered reply is still cut at 200.
    answer("+OK " + u100 + " " + std::string(300, 'v'));
    EXPECT_EQ(run("check " + u100 + " " + std::string(100, 'p') + "\n"),
              ("+OK " + u100 + " " + std::string(300, 'v')) + "\n" + kExiting);
    EXPECT_EQ(only_call().password, std::string(100, 'p'));
    answer("+OK other " + std::string(300, 'v'));
    EXPECT_EQ(run("lookup " + u100 + "\n"),
              "-ERR " + u100 + " " + ("+OK other " + std::string(300, 'v')).substr(0, 200) + "\n" +
                  kExiting);
}

TEST_F(ShellTest, SetModDelPrintTheTextUnchanged) {
    answer("+OK jones");
    answer("-ERR brenniclib failed while talking to brennic server");
    answer("+OK");
    EXPECT_EQ(run("set smith pw a=1\nmod smith pw b=2\ndel smith\n"),
              "+OK jones\n-ERR brenniclib failed while talking to brennic server\n+OK\n" +
                  kExiting);
    ASSERT_EQ(fake::fake_state.calls.size(), 3u);
    EXPECT_EQ(fake::fake_state.calls[2].op, "del");
    EXPECT_EQ(fake::fake_state.calls[2].user, "smith");
}

TEST_F(ShellTest, RefusalPrintsOneLineAndReleasesTheRecord) {
    answer(std::nullopt, 0);
    answer("+OK ignored", 0);
    EXPECT_EQ(run("set Smith pw " + std::string(50, 'a') + "\nsearch  Smith\n"),
              "-ERR Smith brennic_lib call failed, see brennic.log\n"
              "-ERR search  Smith brennic_lib call failed, see brennic.log\n" +
                  kExiting);
    EXPECT_EQ(fake::fake_state.records_made, 2);
    EXPECT_EQ(fake::fake_state.records_freed, 2);
}

TEST_F(ShellTest, MissingReplyTextNamesTheUser) {
    answer(std::nullopt);
    answer(std::nullopt);
    answer(std::nullopt);
    fake::fake_state.answers.push_back({1, std::nullopt, {"+DATA a"}, {}});
    EXPECT_EQ(run("check smith pw\nlookup jones\ndel brown\nsearch x\n"),
              "-ERR smith no reply from brennic server\n"
              "-ERR jones no reply from brennic server\n"
              "-ERR brown no reply from brennic server\n"
              "+DATA a\n"
              "-ERR search x no reply from brennic server\n" +
                  kExiting);
    EXPECT_EQ(fake::fake_state.records_freed, 4);
}

TEST_F(ShellTest, SearchWhoseLinkFailedStillGetsOneReplyLine) {
    const std::string failure = "-ERR brenniclib failed while talking to brennic server";
    fake::fake_state.answers.push_back({1, failure, {}, {}});
    fake::fake_state.answers.push_back({1, "+OK 1 found", {"+DATA smith", "+OK 1 found"}, {}});
    EXPECT_EQ(run("search smi\nsearch smi\n"), failure + "\n+DATA smith\n+OK 1 found\n" + kExiting);
}

TEST_F(ShellTest, EveryRecordIsReleased) {
    run("check a b\nlookup a\nset a b c\nmod a b c\ndel a\nsearch a\nhelp\n");
    EXPECT_EQ(fake::fake_state.calls.size(), 6u);
    EXPECT_EQ(fake::fake_state.records_made, 6);
    EXPECT_EQ(fake::fake_state.records_freed, 6);
    EXPECT_EQ(fake::fake_state.null_frees, 0);
}

TEST_F(ShellTest, ServerTextCannotForgeAReplyLine) {
    answer("+OK smith\r\n+OK root");
    answer("+OK\n+OK forged");
    fake::fake_state.answers.push_back({1, "+OK", {"+DATA a\r\n+OK forged", "+OK"}, {}});
    EXPECT_EQ(run("check smith pw\ndel smith\nsearch x\n"), "-ERR smith +OK smith  +OK root\n"
                                                            "+OK +OK forged\n"
                                                            "+DATA a  +OK forged\n"
                                                            "+OK\n" +
                                                                kExiting);
}

// On a terminal, the bytes a terminal acts on (window title, screen clear) in server text
// show as '?', in the replies and in the -debug echo alike; into a file they pass as sent.
TEST_F(ShellTest, ControlBytesFromServersAreMaskedOnATerminalOnly) {
    const std::string sent = "+OK smith \x1b]0;owned\x07\x1b[2J\x7f\x01\tend";
    const std::string shown = "+OK smith ?]0;owned??[2J??\tend";
    const auto script = [&] {
        fake::reset();
        fake::fake_state.init_logs = {"Response (\x1b[2J)"};
        answer(sent);
        fake::fake_state.answers.push_back({1, "+OK", {sent, "+OK"}, {}});
    };
    const std::string input = "lookup smith\nsearch x\n";

    script();
    EXPECT_EQ(run({"-debug"}, input),
              "Info: Response (\x1b[2J)\n" + sent + "\n" + sent + "\n+OK\n" + kExiting);

#if !defined(_WIN32) // the terminal half needs a pseudo-terminal
    script();
    brennic::shell_reset();
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios raw{};
    ASSERT_EQ(tcgetattr(slave, &raw), 0);
    cfmakeraw(&raw); // no LF to CR LF on the way
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
    std::FILE *in = std::tmpfile();
    std::fputs(input.c_str(), in);
    std::rewind(in);
    std::FILE *tty = fdopen(slave, "w");
    std::string program = "brennic", debug = "-debug";
    char *argv[] = {program.data(), debug.data(), nullptr};
    EXPECT_EQ(shell_main(2, argv, in, tty), 0);
    brennic::shell_out = stdout;
    std::fclose(tty);
    std::fclose(in);
    std::string seen;
    char buf[512];
    pollfd p{master, POLLIN, 0};
    while (poll(&p, 1, 2000) == 1) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        seen.append(buf, static_cast<std::size_t>(n));
    }
    close(master);
    EXPECT_EQ(seen, "Info: Response (?[2J)\n" + shown + "\n" + shown + "\n+OK\n" + kExiting);
#endif
}

TEST_F(ShellTest, FormatCharactersInTextsArePrintedLiterally) {
    answer("+OK %s%n%x");
    EXPECT_EQ(run("del %s%n\nfoo%n%s\n"),
              "+OK %s%n%x\n-ERR Invalid command (foo%n%s) use help\n" + kExiting);
}

// ---- diagnostics and flushing ----

TEST_F(ShellTest, DebugEchoComesBeforeTheReplyInTheSameStream) {
    fake::fake_state.init_logs = {"Connecting"};
    fake::fake_state.answers.push_back({1, "+OK smith", {}, {"Sent check"}});
    EXPECT_EQ(run({"-debug"}, "check smith pw\n"),
              "Info: Connecting\nInfo: Sent check\n+OK smith\n" + kExiting);
}

TEST_F(ShellTest, WithoutDebugDiagnosticsStayOffTheReplyStream) {
    fake::fake_state.init_logs = {"Connecting"};
    EXPECT_EQ(run("version\n"), kVersion + kExiting);
}

TEST_F(ShellTest, OutputIsFlushedBeforeTheNextLineIsHandled) {
#if defined(_WIN32)
    GTEST_SKIP() << "reads the output file by descriptor at an offset (pread), which Windows lacks";
#else
    answer("+OK a");
    answer("+OK b");
    // What the output file holds, unbuffered, when each library call starts.
    std::vector<std::string> seen;
    fake::fake_state.on_call = [&](const fake::call &) {
        struct stat st {};
        fstat(fileno(out_stream), &st);
        std::string held(static_cast<size_t>(st.st_size), '\0');
        EXPECT_EQ(pread(fileno(out_stream), held.data(), held.size(), 0),
                  static_cast<ssize_t>(held.size()));
        seen.push_back(held);
    };
    std::string out = run("lookup a\nhelp\nlookup b\n");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "");
    EXPECT_EQ(seen[1], out.substr(0, out.find("+OK b")));
    EXPECT_EQ(seen[1].rfind("+OK a\n+DATA Valid commands\n", 0), 0u);
#endif
}

// ---- render_reply directly ----

TEST(RenderReply, SecondWordIsCutAt100) {
    char out[brennic::kShellBufSize];
    std::string user(100, 'u');
    brennic::render_reply(("+OK " + user + "x").c_str(), user.c_str(), out);
    EXPECT_EQ(std::string(out), "+OK " + user + "x") << "the 101st character is not compared";
    brennic::render_reply(("+OK " + user + " more").c_str(), user.c_str(), out);
    EXPECT_EQ(std::string(out), "+OK " + user + " more");
    brennic::render_reply("+OK  smith", "smith", out);
    EXPECT_EQ(std::string(out), "-ERR smith +OK  smith");
    brennic::render_reply("x brenniclib failed", "x", out);
    EXPECT_EQ(std::string(out), "-DEAD x x brenniclib failed");
    // Data that happens to hold the words is not a link failure.
    brennic::render_reply("+OK mallory status=brenniclib failed", "mallory", out);
    EXPECT_EQ(std::string(out), "+OK mallory status=brenniclib failed");
    brennic::render_reply("+OK mallory status=brenniclib failed", "smith", out);
    EXPECT_EQ(std::string(out), "-ERR smith +OK mallory status=brenniclib failed");
    brennic::render_reply("nospace", "", out);
    EXPECT_EQ(std::string(out), "nospace");
}

} // namespace
