// The log sink in a scratch directory: echo, file lines, stamps, flushing, the size limit
// and the ways the file can fail to open. Modes, FIFOs, signals and file size limits are
// POSIX's own; the rest runs on Windows as well.
#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "shell/log_sink.h"
#include "shell/shell.h"

namespace {

namespace fs = std::filesystem;
using brennic::log_sink;

std::tm fixed_tm() {
    std::tm t{};
    t.tm_year = 121;
    t.tm_mon = 2;
    t.tm_mday = 7;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    return t;
}
std::time_t fixed_now() { return 1000; }
std::tm *fixed_local(const std::time_t *, std::tm *out) {
    *out = fixed_tm();
    return out;
}
std::tm *failing_local(const std::time_t *, std::tm *) { return nullptr; }

const std::string kStamp = "07 09:05:03";

std::string slurp(const fs::path &p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Sends everything written to descriptor 2 into a file while it lives.
class stderr_capture {
  public:
    stderr_capture() {
        std::fflush(stderr);
        saved_ = dup(2);
        file_ = std::tmpfile();
        dup2(fileno(file_), 2);
    }
    ~stderr_capture() {
        release();
        std::fclose(file_);
    }
    std::string text() {
        release();
        std::rewind(file_);
        std::string out;
        int c;
        while ((c = std::fgetc(file_)) != EOF)
            out.push_back(static_cast<char>(c));
        return out;
    }

  private:
    void release() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    int saved_ = -1;
    std::FILE *file_ = nullptr;
};

class LogSinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        brennic::shell_reset();
        old_dir_ = fs::current_path();
        dir_ = fs::temp_directory_path() /
               ("brennic-sink-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        ASSERT_TRUE(fs::create_directory(dir_));
        fs::current_path(dir_);
        echo_ = std::tmpfile();
        brennic::shell_out = echo_;
        brennic::sink_seams.now = fixed_now;
        brennic::sink_seams.local_time = fixed_local;
    }
    void TearDown() override {
        brennic::shell_reset();
        std::fclose(echo_);
        fs::current_path(old_dir_);
        fs::remove_all(dir_);
    }
    std::string echoed() {
        std::fflush(echo_);
        std::rewind(echo_);
        std::string out;
        int c;
        while ((c = std::fgetc(echo_)) != EOF)
            out.push_back(static_cast<char>(c));
        return out;
    }
    fs::path log_path() const { return dir_ / "brennic.log"; }

    fs::path old_dir_, dir_;
    std::FILE *echo_ = nullptr;
};

TEST_F(LogSinkTest, NoFlagsNoEffect) {
    for (int level = 0; level <= 4; ++level)
        log_sink(level, "abc");
    EXPECT_EQ(echoed(), "");
    EXPECT_FALSE(fs::exists(log_path()));
}

TEST_F(LogSinkTest, DebugEchoesEachLevelAndCreatesNoFile) {
    brennic::debug_flag = 1;
    for (int level = -1; level <= 4; ++level)
        log_sink(level, "abc");
    EXPECT_EQ(echoed(), "Debug: abc\nInfo: abc\nError: abc\n");
    EXPECT_FALSE(fs::exists(log_path()));
}

// The echo is masked as the stream it goes to is a terminal, not as standard output is: under
// -json the echo goes to standard error, which may be a terminal while the replies are a file.
TEST_F(LogSinkTest, TheEchoIsMaskedByItsOwnStream) {
    brennic::debug_flag = 1;
    brennic::echo_out = echo_;
    for (const bool terminal : {true, false}) {
        brennic::echo_out_is_terminal = terminal;
        brennic::shell_out_is_terminal = !terminal;
        log_sink(2, "t=\x1b]0;x\x07");
    }
    EXPECT_EQ(echoed(), "Info: t=?]0;x?\nInfo: t=\x1b]0;x\x07\n");
}

TEST_F(LogSinkTest, TextIsWrittenLiterally) {
    brennic::debug_flag = 1;
    brennic::dolog_flag = 1;
    log_sink(2, "%s%n%x ");
    EXPECT_EQ(echoed(), "Info: %s%n%x \n");
    EXPECT_EQ(slurp(log_path()), kStamp + " Info: %s%n%x \n");
}

TEST_F(LogSinkTest, FileLinesAreStampedAndInfoErrorFlushed) {
    brennic::dolog_flag = 1;
    log_sink(3, "abc");
    EXPECT_EQ(slurp(log_path()), kStamp + " Error: abc\n") << "error lines are flushed at once";
    log_sink(2, "def");
    EXPECT_EQ(slurp(log_path()), kStamp + " Error: abc\n" + kStamp + " Info: def\n");
    EXPECT_EQ(echoed(), "");
}

TEST_F(LogSinkTest, DebugLinesWaitInTheBuffer) {
    brennic::dolog_flag = 1;
    log_sink(1, "first");
    EXPECT_EQ(slurp(log_path()), "");
    log_sink(2, "second");
    EXPECT_EQ(slurp(log_path()), kStamp + " Debug: first\n" + kStamp + " Info: second\n");
}

TEST_F(LogSinkTest, OtherLevelsWriteNothingButOpenAndLevelFourFlushes) {
    brennic::dolog_flag = 1;
    brennic::debug_flag = 1;
    log_sink(0, "zero");
    ASSERT_TRUE(fs::exists(log_path())) << "level 0 still opens the file";
    EXPECT_EQ(slurp(log_path()), "");
    log_sink(1, "held");
    log_sink(0, "zero");
    EXPECT_EQ(slurp(log_path()), "") << "level 0 does not flush";
    log_sink(4, "four");
    EXPECT_EQ(slurp(log_path()), kStamp + " Debug: held\n") << "level 4 flushes";
    EXPECT_EQ(echoed(), "Debug: held\n");
}

TEST_F(LogSinkTest, AppendsToAnExistingFile) {
    { std::ofstream(log_path(), std::ios::binary) << "old line\n"; }
    brennic::dolog_flag = 1;
    log_sink(2, "new");
    EXPECT_EQ(slurp(log_path()), "old line\n" + kStamp + " Info: new\n");
}

#ifndef _WIN32
TEST_F(LogSinkTest, NewFileIsOwnerOnly) {
    mode_t old = umask(0);
    brennic::dolog_flag = 1;
    log_sink(2, "x");
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat(log_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LogSinkTest, StampHasTwoDigitDayFromRealLocalTime) {
    brennic::sink_seams = {[] {
                               std::tm t = fixed_tm();
                               return timegm(&t);
                           },
                           [](const std::time_t *t, std::tm *out) { return gmtime_r(t, out); }};
    char stamp[brennic::kStampLength + 1];
    brennic::make_stamp(stamp);
    EXPECT_EQ(std::string(stamp), "07 09:05:03");

    brennic::sink_seams.now = [] { return std::time_t{0}; }; // 1 January 1970, midnight
    brennic::make_stamp(stamp);
    EXPECT_EQ(std::string(stamp), "01 00:00:00");

    // The real conversion, in a zone without offset.
    brennic::log_sink_reset();
    const char *tz = std::getenv("TZ");
    std::string saved = tz ? tz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    std::time_t before = std::time(nullptr);
    brennic::make_stamp(stamp);
    std::tm now{};
    gmtime_r(&before, &now);
    char want[32];
    std::snprintf(want, sizeof want, "%02d", now.tm_mday);
    EXPECT_EQ(std::string(stamp, 2), want);
    EXPECT_EQ(stamp[2], ' ');
    EXPECT_EQ(stamp[5], ':');
    EXPECT_EQ(stamp[8], ':');
    if (tz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

#endif

TEST_F(LogSinkTest, FallbackStampWhenLocalTimeFails) {
    brennic::sink_seams.local_time = failing_local;
    brennic::dolog_flag = 1;
    log_sink(3, "abc");
    EXPECT_EQ(slurp(log_path()), "adtimebadti Error: abc\n");
}

TEST_F(LogSinkTest, FileOfExactlyTheLimitStays) {
    const std::string line = kStamp + " Info: x\n";
    {
        std::ofstream(log_path(), std::ios::binary)
            << std::string(brennic::kLogLimitBytes - line.size(), '.');
    }
    brennic::dolog_flag = 1;
    log_sink(2, "x");
    EXPECT_EQ(fs::file_size(log_path()), static_cast<std::uintmax_t>(brennic::kLogLimitBytes));
    EXPECT_NE(brennic::log_sink_file(), nullptr);

    // One more line passes the limit: the file is closed and deleted after that message,
    // and the next message starts a fresh file with its own line only.
    log_sink(2, "x");
    EXPECT_FALSE(fs::exists(log_path()));
    EXPECT_EQ(brennic::log_sink_file(), nullptr);
    log_sink(3, "fresh");
    EXPECT_EQ(slurp(log_path()), kStamp + " Error: fresh\n");
}

TEST_F(LogSinkTest, OneByteOverTheLimitIsDeleted) {
    const std::string line = kStamp + " Info: x\n";
    {
        std::ofstream(log_path(), std::ios::binary)
            << std::string(brennic::kLogLimitBytes - line.size() + 1, '.');
    }
    brennic::dolog_flag = 1;
    log_sink(2, "x");
    EXPECT_FALSE(fs::exists(log_path()));
#ifndef _WIN32
    mode_t old = umask(0);
    log_sink(1, "again");
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat(log_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the re-created file is owner-only too";
#endif
}

#ifndef _WIN32
// (A reparse point under the name on Windows: tests/unit/net/system_test.cc.)
TEST_F(LogSinkTest, SymbolicLinkIsNotFollowed) {
    fs::path target = dir_ / "elsewhere";
    { std::ofstream(target, std::ios::binary) << "keep\n"; }
    fs::create_symlink(target, log_path());
    brennic::dolog_flag = 1;
    brennic::debug_flag = 1;
    stderr_capture cap;
    log_sink(2, "one");
    log_sink(3, "two");
    std::string err = cap.text();
    EXPECT_EQ(slurp(target), "keep\n");
    EXPECT_EQ(brennic::log_sink_file(), nullptr);
    EXPECT_EQ(err, "brennic.log: Too many levels of symbolic links\n") << "reported once";
    EXPECT_EQ(echoed(), "Info: one\nError: two\n") << "the echo happens before the failure";
}

#endif

// A log that cannot be opened is retried with every message but reported once, and again
// only after a line has reached the file in between.
TEST_F(LogSinkTest, UnopenableFileIsReportedOncePerSpellAndRetried) {
    fs::create_directory(log_path());
    brennic::dolog_flag = 1;
    stderr_capture cap;
    for (int i = 0; i < 19; ++i)
        log_sink(2, "lost");
    fs::remove(log_path());
    log_sink(2, "kept");
    EXPECT_EQ(slurp(log_path()), kStamp + " Info: kept\n");
#ifdef _WIN32
    // The name of the log, still open, stays taken until it is closed.
    EXPECT_EQ(cap.text(), "brennic.log: Is a directory\n");
#else
    fs::remove(log_path());
    fs::create_directory(log_path());
    log_sink(2, "lost again");
    log_sink(3, "lost again");
    EXPECT_EQ(cap.text(), "brennic.log: Is a directory\nbrennic.log: Is a directory\n");
#endif
}

#ifndef _WIN32
// Lines that cannot be written to an open log (the file may grow no more) are reported once,
// like a log that cannot be opened.
TEST_F(LogSinkTest, LinesThatCannotBeWrittenAreReportedOnce) {
    brennic::dolog_flag = 1;
    // A log larger than what the test's own capture of standard error will hold, since the
    // file size limit holds for that file too.
    for (int i = 0; i < 100; ++i)
        log_sink(2, "first");
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(fs::file_size(log_path()));
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    std::string reported;
    {
        stderr_capture cap;
        for (int i = 0; i < 5; ++i)
            log_sink(2, "lost");
        reported = cap.text();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(reported, "brennic.log: File too large\n");
}

// Another console in the same directory passed the limit, deleted the log and started a new
// one: this console's next line goes into that new file, not into the deleted one.
// (On Windows the name of a file deleted while open stays taken until it is closed.)
TEST_F(LogSinkTest, FileDeletedByAnotherWriterIsReopenedByName) {
    brennic::dolog_flag = 1;
    log_sink(2, "one");
    std::FILE *first = brennic::log_sink_file();
    ASSERT_NE(first, nullptr);
    fs::remove(log_path());
    { std::ofstream(log_path(), std::ios::binary) << "other console\n"; }
    log_sink(3, "two");
    EXPECT_EQ(slurp(log_path()), "other console\n" + kStamp + " Error: two\n");
    log_sink(2, "three");
    EXPECT_EQ(slurp(log_path()),
              "other console\n" + kStamp + " Error: two\n" + kStamp + " Info: three\n");

    // Deleted with nothing in its place: the next line creates the file afresh.
    fs::remove(log_path());
    log_sink(2, "four");
    EXPECT_EQ(slurp(log_path()), kStamp + " Info: four\n");
}

#endif

// The open file passes the limit after the name has come to mean another console's file:
// this console closes its own file but leaves the other one in place, then writes into it.
TEST_F(LogSinkTest, LimitPassedAfterTheNameMovedOnDeletesNothing) {
    const std::string line = kStamp + " Info: x\n";
    {
        std::ofstream(log_path(), std::ios::binary)
            << std::string(brennic::kLogLimitBytes - line.size(), '.');
    }
    brennic::dolog_flag = 1;
    log_sink(2, "x");
    ASSERT_NE(brennic::log_sink_file(), nullptr);

    // The other console's new file takes the name; this console's file lives on elsewhere.
    const fs::path aside = dir_ / "aside";
    fs::rename(log_path(), aside);
    { std::ofstream(log_path(), std::ios::binary) << "other console\n"; }

    log_sink(2, "x");
    EXPECT_EQ(brennic::log_sink_file(), nullptr) << "the file over the limit is closed";
    EXPECT_EQ(fs::file_size(aside),
              static_cast<std::uintmax_t>(brennic::kLogLimitBytes) + line.size());
    ASSERT_TRUE(fs::exists(log_path())) << "the other console's file was deleted";
    EXPECT_EQ(slurp(log_path()), "other console\n");

    log_sink(3, "next");
    EXPECT_EQ(slurp(log_path()), "other console\n" + kStamp + " Error: next\n");
    EXPECT_EQ(fs::file_size(aside),
              static_cast<std::uintmax_t>(brennic::kLogLimitBytes) + line.size());
}

// Alone in its directory, a console still deletes its own file at the limit, also when the
// name reaches it through another hard link.
TEST_F(LogSinkTest, OwnFileIsDeletedAtTheLimitWhateverItsLinkCount) {
    const std::string line = kStamp + " Info: x\n";
    {
        std::ofstream(log_path(), std::ios::binary)
            << std::string(brennic::kLogLimitBytes - line.size() + 1, '.');
    }
    fs::create_hard_link(log_path(), dir_ / "second-name");
    brennic::dolog_flag = 1;
    log_sink(2, "x");
    EXPECT_FALSE(fs::exists(log_path()));
    EXPECT_TRUE(fs::exists(dir_ / "second-name"));
    EXPECT_EQ(brennic::log_sink_file(), nullptr);
}

#ifndef _WIN32
// The log holds the secret and passwords: a file made readable by others before the console
// started is narrowed to owner-only when opened, and keeps its lines.
TEST_F(LogSinkTest, WiderModeOfAnExistingFileIsNarrowed) {
    for (mode_t wide : {0644, 0666, 0640, 0604, 0755}) {
        SCOPED_TRACE(wide);
        brennic::log_sink_reset();
        brennic::sink_seams.now = fixed_now;
        brennic::sink_seams.local_time = fixed_local;
        fs::remove(log_path());
        { std::ofstream(log_path(), std::ios::binary) << "old\n"; }
        ASSERT_EQ(chmod(log_path().c_str(), wide), 0);
        brennic::dolog_flag = 1;
        log_sink(2, "new");
        struct stat st {};
        ASSERT_EQ(stat(log_path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(slurp(log_path()), "old\n" + kStamp + " Info: new\n");
    }
}

TEST_F(LogSinkTest, OwnerOnlyModesAreKept) {
    for (mode_t own : {0600, 0700, 0200}) {
        SCOPED_TRACE(own);
        brennic::log_sink_reset();
        fs::remove(log_path());
        { std::ofstream(log_path(), std::ios::binary) << ""; }
        ASSERT_EQ(chmod(log_path().c_str(), own), 0);
        brennic::dolog_flag = 1;
        log_sink(2, "a");
        EXPECT_NE(brennic::log_sink_file(), nullptr);
        struct stat st {};
        ASSERT_EQ(stat(log_path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, own);
    }
}

// In a shared directory another user may plant the log, as a file or a FIFO, to read the
// secret from it: only a log of the effective user receives lines. Reported like a file that
// cannot be opened; nothing is written and the mode stays. (Root gives the files away.)
TEST_F(LogSinkTest, AnotherUsersLogGetsNothing) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
    brennic::dolog_flag = 1;
    for (const bool fifo : {false, true}) {
        SCOPED_TRACE(fifo ? "FIFO" : "regular file");
        brennic::log_sink_reset();
        fs::remove(log_path());
        if (fifo)
            ASSERT_EQ(mkfifo(log_path().c_str(), 0666), 0);
        else
            std::ofstream(log_path(), std::ios::binary) << "";
        ASSERT_EQ(chmod(log_path().c_str(), 0666), 0);
        ASSERT_EQ(chown(log_path().c_str(), 65534, 65534), 0);
        const int reader = fifo ? open(log_path().c_str(), O_RDONLY | O_NONBLOCK) : -1;
        stderr_capture cap;
        log_sink(2, "Secret string (s3cret)");
        EXPECT_EQ(cap.text(), "brennic.log: Operation not permitted\n");
        EXPECT_EQ(brennic::log_sink_file(), nullptr);
        char buf[64];
        EXPECT_EQ(fifo ? read(reader, buf, sizeof buf)
                       : static_cast<ssize_t>(fs::file_size(log_path())),
                  0);
        struct stat st {};
        ASSERT_EQ(stat(log_path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666u);
        if (reader >= 0) close(reader);
    }
}

// A FIFO under the log's name (with a reader, so the open does not block) keeps its mode and
// receives the lines.
TEST_F(LogSinkTest, FifoKeepsItsMode) {
    mode_t old = umask(0);
    ASSERT_EQ(mkfifo(log_path().c_str(), 0644), 0);
    umask(old);
    int reader = open(log_path().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    brennic::dolog_flag = 1;
    log_sink(3, "piped");
    struct stat st {};
    ASSERT_EQ(stat(log_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    char buf[64] = {};
    ssize_t got = read(reader, buf, sizeof buf - 1);
    EXPECT_EQ(std::string(buf, got > 0 ? static_cast<size_t>(got) : 0), kStamp + " Error: piped\n");
    brennic::log_sink_reset();
    close(reader);
}

// Waits up to 5 s for a child process to end; a child still running then is killed, and
// false tells the caller it had hung.
bool child_ended(pid_t child, int *status) {
    for (int i = 0; i < 500; ++i) {
        if (waitpid(child, status, WNOHANG) == child) return true;
        usleep(10 * 1000);
    }
    kill(child, SIGKILL);
    waitpid(child, status, 0);
    return false;
}

// A FIFO nobody reads: the open must not wait for a reader. It is reported like any log that
// cannot be opened, and the next message, once a reader is there, goes through. The first
// message is sent from a child process so that a waiting open fails the test instead of
// holding it.
TEST_F(LogSinkTest, FifoWithoutAReaderIsReportedNotWaitedFor) {
    ASSERT_EQ(mkfifo(log_path().c_str(), 0600), 0);
    brennic::dolog_flag = 1;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 2);
        log_sink(2, "nobody reads");
        _exit(brennic::log_sink_file() == nullptr ? 0 : 1);
    }
    int status = -1;
    const bool done = child_ended(child, &status);
    ASSERT_TRUE(done) << "the open waited for a reader";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "no log file was opened";
    {
        stderr_capture cap;
        log_sink(2, "nobody reads");
        EXPECT_EQ(cap.text(), "brennic.log: No such device or address\n");
    }
    int reader = open(log_path().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    log_sink(2, "read now");
    char buf[64] = {};
    const ssize_t got = read(reader, buf, sizeof buf - 1);
    EXPECT_EQ(std::string(buf, got > 0 ? static_cast<size_t>(got) : 0),
              kStamp + " Info: read now\n");
    brennic::log_sink_reset();
    close(reader);
}

// The reader of a FIFO log goes away: the next line must not end the process with SIGPIPE.
// It is reported, and the message after it, which finds the FIFO without a reader, adds no
// second report. Run in a child
// process, whose end (status or signal) the test reads.
TEST_F(LogSinkTest, AFifoReaderThatLeavesIsReportedNotFatal) {
    ASSERT_EQ(mkfifo(log_path().c_str(), 0600), 0);
    const std::string err_path = (dir_ / "stderr").string();
    brennic::dolog_flag = 1;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err_fd, 2);
        const int reader = open(log_path().c_str(), O_RDONLY | O_NONBLOCK);
        log_sink(2, "first");
        char buf[64] = {};
        const ssize_t got = read(reader, buf, sizeof buf - 1);
        if (std::string(buf, got > 0 ? static_cast<size_t>(got) : 0) != kStamp + " Info: first\n")
            _exit(3);
        close(reader);
        log_sink(1, "second"); // a debug line too must not wait for the flush at exit
        log_sink(2, "third");
        sigset_t mask;
        sigemptyset(&mask);
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        sigset_t pending;
        sigpending(&pending);
        _exit(sigismember(&mask, SIGPIPE) == 1 || sigismember(&pending, SIGPIPE) == 1 ? 4 : 0);
    }
    int status = -1;
    const bool done = child_ended(child, &status);
    ASSERT_TRUE(done) << "the child did not end";
    ASSERT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: the first line did not arrive; 4: SIGPIPE left held";
    EXPECT_EQ(slurp(err_path), "brennic.log: Broken pipe\n") << "one report for the spell";
}

// A reader that holds the FIFO open but stops reading: the console never waits for it.
// Lines the FIFO has no room for are dropped and counted; the next line that goes through
// comes after one that says how many were lost. (The alarm ends a sink that waits.)
TEST_F(LogSinkTest, AStalledFifoReaderCostsLinesNotTime) {
    ASSERT_EQ(mkfifo(log_path().c_str(), 0600), 0);
    const int reader = open(log_path().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const int room = fcntl(reader, F_GETPIPE_SZ);
    ASSERT_GT(room, 0);
    brennic::dolog_flag = 1;
    const std::string text(900, 'x');
    const int sent = room / 900 + 20;
    alarm(20);
    for (int i = 0; i < sent; ++i)
        log_sink(i % 2 ? 1 : 2, text.c_str());
    alarm(0);

    std::string got;
    char buf[4096];
    for (ssize_t n; (n = read(reader, buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<std::size_t>(n));
    const std::size_t line_size = kStamp.size() + std::string(" Info: \n").size() + text.size();
    const int taken = static_cast<int>(std::count(got.begin(), got.end(), '\n'));
    ASSERT_GT(taken, 0);
    ASSERT_LT(taken, sent);
    EXPECT_LE(got.size(), static_cast<std::size_t>(taken) * (line_size + 1)) << "only whole lines";

    log_sink(3, "after");
    const ssize_t n = read(reader, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0),
              kStamp + " Error: " + std::to_string(sent - taken) +
                  " log lines dropped, the reader did not keep up\n" + kStamp + " Error: after\n");
    log_sink(2, "next");
    const ssize_t m = read(reader, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, m > 0 ? static_cast<std::size_t>(m) : 0), kStamp + " Info: next\n");
    brennic::log_sink_reset();
    close(reader);
}

TEST_F(LogSinkTest, FileSizeOfAStreamWithoutDescriptorIsZero) {
    // (Windows has no stream over memory.)
    char buf[16] = "0123456789";
    std::FILE *mem = fmemopen(buf, 10, "r");
    ASSERT_NE(mem, nullptr);
    EXPECT_EQ(brennic::file_size(mem), 0);
    std::fclose(mem);
    std::FILE *f = std::tmpfile();
    std::fputs("12345", f);
    std::fflush(f);
    EXPECT_EQ(brennic::file_size(f), 5);
    std::fclose(f);
}
#endif

} // namespace
