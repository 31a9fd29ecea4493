// The secret file and its hash. FIFOs, modes and paths past Windows' 260 characters are
// POSIX's own; the rest runs on Windows as well.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "lib/cipher/secret_file.h"
#include "lib/cipher/secret_hash.h"
#include "lib/hooks.h"
#include "lib/limits.h"

namespace brennic {
namespace {

TEST(SecretHash, KnownValues) {
    EXPECT_EQ(secret_hash(""), 0);
    EXPECT_EQ(secret_hash("a"), 97);
    EXPECT_EQ(secret_hash("abc"), 26499);
    EXPECT_EQ(secret_hash("abc") % 20, 19);
    EXPECT_EQ(secret_hash("ffffffff"), -858993466);
    EXPECT_EQ(secret_hash("ffffffff") % 20, -6);
    EXPECT_EQ(secret_hash("\xE9"), -23);
    EXPECT_EQ(secret_hash("\xE9") % 20, -3);
    EXPECT_EQ(secret_hash("\x80"), -128);
    // Only the last eight bytes count.
    EXPECT_EQ(secret_hash("abcdefgh"), secret_hash("xabcdefgh"));
    EXPECT_EQ(secret_hash("abcdefgh"), secret_hash("a very long prefix abcdefgh"));
    EXPECT_NE(secret_hash("abcdefg"), secret_hash("xabcdefg"));
}

class SecretFile : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        const auto dir = std::filesystem::temp_directory_path() /
                         ("brennic-secret-" + std::to_string(getpid()) + "-" + info->name());
        std::filesystem::remove_all(dir);
        ASSERT_TRUE(std::filesystem::create_directory(dir));
        dir_ = dir.string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    std::string write(const std::string &name, const std::string &content) const {
        const std::string p = path(name);
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    static std::string slurp(const std::string &p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static bool exists(const std::string &p) { return std::filesystem::exists(p); }
    std::string dir_;
};

TEST_F(SecretFile, FirstLineWithoutLineEnd) {
    EXPECT_STREQ(read_secret(write("crlf", "abc\r\nsecond\r\n").c_str(), 0), "abc");
    EXPECT_STREQ(read_secret(write("lf", "abc\nsecond\n").c_str(), 0), "abc");
    EXPECT_STREQ(read_secret(write("noeol", "abc").c_str(), 0), "abc");
    EXPECT_STREQ(read_secret(write("midcr", "ab\rcd\n").c_str(), 0), "ab");
    EXPECT_STREQ(read_secret(write("blank", "\nlater text\n").c_str(), 0), "");
    EXPECT_STREQ(read_secret(write("blankcr", "\r\nlater text\n").c_str(), 0), "");
    EXPECT_STREQ(read_secret(write("empty", "").c_str(), 0), "");
    EXPECT_STREQ(read_secret(write("nulbyte", std::string("ab\0cd\n", 6)).c_str(), 0), "ab");
}

TEST_F(SecretFile, LongLinesAreCutAt399) {
    for (std::size_t len : {398u, 399u, 400u, 500u, 10000u}) {
        const std::string line(len, 'k');
        const char *got = read_secret(write("long", line + "\n").c_str(), 0);
        EXPECT_EQ(std::string(got), line.substr(0, kSecretLineMax)) << len;
    }
    // A CR beyond the 399th character is never seen.
    const std::string line = std::string(450, 'k') + "\r\n";
    EXPECT_EQ(std::string(read_secret(write("long", line).c_str(), 0)).size(), 399u);
}

TEST_F(SecretFile, MissingFileWithoutGenerateCreatesNothing) {
    const std::string p = path("missing");
    EXPECT_STREQ(read_secret(p.c_str(), 0), "");
    EXPECT_FALSE(exists(p));
}

TEST_F(SecretFile, GenerateCreatesOwnerOnlyFileWithOneLine) {
    const std::string p = path("fresh");
    const std::string got = read_secret(p.c_str(), 1);
    // Hexadecimal, decimal, hexadecimal: at least three digits, all lower-case hex (rand
    // never yields a negative number here, so no sign).
    EXPECT_GE(got.size(), 3u) << got;
    EXPECT_EQ(got.find_first_not_of("0123456789abcdef"), std::string::npos) << got;
    EXPECT_EQ(slurp(p), got + "\n");
#ifndef _WIN32
    struct stat st {};
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
    // Later reads, generate on or off, return the same line and leave the file alone.
    EXPECT_EQ(std::string(read_secret(p.c_str(), 1)), got);
    EXPECT_EQ(std::string(read_secret(p.c_str(), 0)), got);
    EXPECT_EQ(slurp(p), got + "\n");
}

TEST_F(SecretFile, GenerateRefillsFileWithEmptyFirstLine) {
    const std::string p = write("empty", "\nkept?\n");
    const std::string got = read_secret(p.c_str(), 1);
    EXPECT_FALSE(got.empty());
    EXPECT_EQ(slurp(p), got + "\n");
}

TEST_F(SecretFile, GenerateWriteFailureIsPrintedAndGivesEmptyText) {
    const std::string p = path("no-such-dir/secret");
    testing::internal::CaptureStdout();
    const std::string got = read_secret(p.c_str(), 1);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(got, "");
    EXPECT_EQ(printed, "Could not write to (" + p + ") No such file or directory\n");
}

TEST_F(SecretFile, FileThatAlwaysReadsEmptyEndsTheCall) {
    // Writing to it succeeds but nothing ever reads back: one refill, then an empty text.
#ifdef _WIN32
    EXPECT_STREQ(read_secret("NUL", 1), "");
#else
    EXPECT_STREQ(read_secret("/dev/null", 1), "");
#endif
}

#ifndef _WIN32
TEST_F(SecretFile, PathIsCutAt999Characters) {
    // Build nested directories so that the file path is exactly 999 characters long.
    std::string p = dir_;
    while (p.size() + 1 + 200 < kSecretFilePathMax) {
        p += "/" + std::string(199, 'd');
        ASSERT_EQ(mkdir(p.c_str(), 0700), 0);
    }
    p += "/" + std::string(kSecretFilePathMax - p.size() - 1, 'f');
    ASSERT_EQ(p.size(), static_cast<std::size_t>(kSecretFilePathMax));
    std::ofstream(p) << "deep\n";
    EXPECT_STREQ(read_secret(p.c_str(), 0), "deep");
    EXPECT_STREQ(read_secret((p + "tail").c_str(), 0), "deep");
    EXPECT_STREQ(read_secret(p.substr(0, p.size() - 1).c_str(), 0), "");
}

// A secret file that is a FIFO never holds the caller: it has a limited time to give its
// line (200 ms here), and each unreadable one gives a cause naming it.
TEST_F(SecretFile, FifosNeverStall) {
    hooks.secret_wait_ms = 200;
    const std::string fifo = path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Should the read block regardless, this opens the FIFO's other end after 3 s, so that
    // the test fails on its time instead of hanging.
    std::atomic<bool> done{false};
    std::thread release([&] {
        for (int i = 0; i < 300 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        while (!done) {
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const struct {
        const char *what;
        bool writer;      // a writer holds the FIFO open during the read
        const char *line; // what it has written
        const char *secret;
        const char *cause;
    } rows[] = {
        {"no writer", false, "", "", "no line: nothing writes to it"},
        {"a writer that says nothing", true, "", "", "no line within the time allowed"},
        {"a writer with half a line", true, "pip", "", "no line within the time allowed"},
        {"a writer with a line", true, "piped\n", "piped", ""},
    };
    for (const auto &row : rows) {
        // A reader of the test's own lets the writer open without waiting.
        const int keep = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        const int writer = row.writer ? ::open(fifo.c_str(), O_WRONLY) : -1;
        const auto length = static_cast<ssize_t>(std::strlen(row.line));
        if (writer >= 0) {
            EXPECT_EQ(::write(writer, row.line, static_cast<size_t>(length)), length);
        }
        if (!row.writer) ::close(keep);
        const auto start = std::chrono::steady_clock::now();
        const std::string got = read_secret(fifo.c_str(), 0);
        const auto took = std::chrono::steady_clock::now() - start;
        if (writer >= 0) ::close(writer);
        if (row.writer) ::close(keep);
        EXPECT_EQ(got, row.secret) << row.what;
        EXPECT_LT(took, std::chrono::milliseconds(1500)) << row.what;
        const std::string expected =
            *row.cause ? "Cannot read secret file (" + fifo + "): " + row.cause : "";
        EXPECT_EQ(secret_failure(), expected) << row.what;
    }
    done = true;
    release.join();
    reset_hooks();
}

TEST(SystemDir, JoinsDirectoryAndName) {
    EXPECT_STREQ(system_dir_file("xlate.dat"), "/etc/xlate.dat");
    EXPECT_STREQ(system_dir_file(""), "/etc/");
    const std::string long_name(2000, 'n');
    EXPECT_EQ(std::string(system_dir_file(long_name.c_str())).size(), 999u);
}
#endif

// A directory is unreadable, with a cause that names it; a missing file has no cause.
TEST_F(SecretFile, DirectoryIsUnreadableAndAMissingFileIsNoFault) {
    EXPECT_STREQ(read_secret(dir_.c_str(), 0), "");
    EXPECT_EQ(std::string(secret_failure()),
              "Cannot read secret file (" + dir_ + "): " + std::strerror(EISDIR));
    // A missing file is not unreadable: no cause.
    EXPECT_STREQ(read_secret(path("missing").c_str(), 0), "");
    EXPECT_STREQ(secret_failure(), "");
}

// The path of the default secret file on either platform: the directory, one separator and
// the name, in at most 999 characters, the directory cut before the name is.
TEST(SystemDir, JoinsAnyDirectoryWithItsSeparator) {
    const std::string dir998(998, 'd');
    const std::string dir1200(1200, 'd');
    const struct {
        const char *dir;
        char separator;
        const char *name;
        std::string joined;
    } rows[] = {
        {"/etc", '/', "xlate.dat", "/etc/xlate.dat"},
        {"C:\\windows\\system32", '\\', "xlate.dat", "C:\\windows\\system32\\xlate.dat"},
        {"C:\\", '\\', "xlate.dat", "C:\\xlate.dat"}, // a drive's root has its separator
        {"/", '/', "xlate.dat", "/xlate.dat"},
        {"", '\\', "xlate.dat", "\\xlate.dat"},
        {"/etc", '/', "", "/etc/"},
        {"/etc", '/', nullptr, "/etc/"},
        {dir998.c_str(), '/', "x", dir998 + "/"},
        {dir1200.c_str(), '\\', "x", dir998 + "\\"},
    };
    for (const auto &row : rows) {
        char out[1000];
        join_dir_file(row.dir, row.separator, row.name, out, sizeof out);
        EXPECT_EQ(std::string(out), row.joined) << row.dir;
    }
    char one[1] = {'x'};
    join_dir_file("/etc", '/', "x", one, sizeof one);
    EXPECT_EQ(one[0], '\0');
}

TEST(SystemDir, EmptyPathReadsTheDefaultFile) {
    // Whatever the machine holds there, the empty path and the default path agree.
    const std::string direct = read_secret(std::string(system_dir_file("xlate.dat")).c_str(), 0);
    EXPECT_EQ(std::string(read_secret("", 0)), direct);
    EXPECT_EQ(std::string(read_secret(nullptr, 0)), direct);
}

} // namespace
} // namespace brennic
