// The platform's file and stream calls (net/system.h), in a scratch folder: what each
// platform does alike, and the Windows ways (reparse points refused, standard output in text
// mode).
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "net/system.h"

namespace brennic {
namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

#ifdef _WIN32
int make_pipe(int fds[2]) { return _pipe(fds, 4096, _O_BINARY); }
#else
int make_pipe(int fds[2]) { return pipe(fds); }
#endif

std::string slurp(const fs::path &p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class SystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("brennic-system-" + std::to_string(getpid()) + "-" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::string path(const char *name) const { return (dir_ / name).string(); }
    fs::path dir_;
};

long long ms_since(clock_type::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count();
}

// An empty pipe is not ready and is waited for no longer than asked; bytes, and then the
// writer's end, make it ready at once. Nothing to watch waits the whole time.
TEST(InputReady, PipeIsReadyWithBytesOrItsEndAndWaitsBoundedWithout) {
    int fds[2];
    ASSERT_EQ(make_pipe(fds), 0);
    auto start = clock_type::now();
    EXPECT_EQ(input_ready(fds[0], 60), 0);
    EXPECT_GE(ms_since(start), 50);
    EXPECT_LT(ms_since(start), 1000);
    EXPECT_EQ(input_ready(fds[0], 0), 0);

    char buf[8] = {};
    ASSERT_EQ(::write(fds[1], "ab\n", 3), 3);
    start = clock_type::now();
    EXPECT_EQ(input_ready(fds[0], 5000), 1);
    EXPECT_LT(ms_since(start), 1000);
    EXPECT_EQ(read_input(fds[0], buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 3), "ab\n");

    ::close(fds[1]);
    EXPECT_EQ(input_ready(fds[0], 5000), 1);
    EXPECT_EQ(read_input(fds[0], buf, sizeof buf), 0) << "the end of the input";
    ::close(fds[0]);

    start = clock_type::now();
    EXPECT_EQ(input_ready(-1, 30), 0);
    EXPECT_GE(ms_since(start), 25);
}

TEST_F(SystemTest, OpenForReadingTellsFilesDirectoriesAndMissingNamesApart) {
    { std::ofstream(path("file"), std::ios::binary) << "line\r\nrest"; }
    const int fd = open_for_reading(path("file").c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(kind_of(fd), file_kind::regular);
    char buf[32] = {};
    EXPECT_EQ(read_input(fd, buf, sizeof buf), 10) << "bytes as they are, CR included";
    EXPECT_EQ(input_ready(fd, 0), 1) << "a file is always ready";
    close_input(fd);

    errno = 0;
    EXPECT_EQ(open_for_reading(path("missing").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);

    // A directory: refused at the open on Windows, told by its kind on POSIX.
    const int dir_fd = open_for_reading(dir_.string().c_str());
    if (dir_fd >= 0) {
        EXPECT_EQ(kind_of(dir_fd), file_kind::directory);
        close_input(dir_fd);
    } else {
        EXPECT_EQ(errno, EISDIR);
    }
}

// The secret file and the log are written byte for byte, the log appended to.
TEST_F(SystemTest, PrivateFileAndLogAreWrittenAsGiven) {
    std::FILE *f = create_private_file(path("secret").c_str());
    ASSERT_NE(f, nullptr);
    std::fputs("abc\n", f);
    std::fclose(f);
    EXPECT_EQ(slurp(path("secret")), "abc\n");

    log_kind kind = log_kind::fifo;
    std::FILE *log = open_private_append(path("log").c_str(), kind);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(kind, log_kind::regular);
    std::fputs("one\n", log);
    std::fclose(log);
    log = open_private_append(path("log").c_str(), kind);
    ASSERT_NE(log, nullptr);
    std::fputs("two\n", log);
    std::fflush(log);
    EXPECT_EQ(slurp(path("log")), "one\ntwo\n") << "appended";
    std::fclose(log);
}

// What the log's rotation relies on: the size the file system holds, the name still leading
// to the open file, and a file deleted while open (by another console) showing no links.
TEST_F(SystemTest, StatusTellsSizeIdentityAndDeletionOfAnOpenFile) {
    log_kind kind = log_kind::regular;
    std::FILE *log = open_private_append(path("log").c_str(), kind);
    ASSERT_NE(log, nullptr);
    std::fputs("12345", log);
    std::fflush(log);
    file_status st{};
    ASSERT_TRUE(status_of(log, st));
    EXPECT_EQ(st.size, 5);
    EXPECT_EQ(st.links, 1);
    EXPECT_TRUE(names_file(path("log").c_str(), st.identity));
    { std::ofstream(path("other")) << "x"; }
    EXPECT_FALSE(names_file(path("other").c_str(), st.identity));
    EXPECT_FALSE(names_file(path("missing").c_str(), st.identity));

    ASSERT_EQ(std::remove(path("log").c_str()), 0) << "another console may delete it";
    file_status after{};
    ASSERT_TRUE(status_of(log, after));
    const bool name_stays = fs::exists(path("log"));
    std::fclose(log);
    EXPECT_FALSE(fs::exists(path("log")));
#ifdef _WIN32
    // Windows keeps the name of a file deleted while open until its last handle closes, and
    // tells the deletion apart as pending; wine tells nothing.
    if (after.links != 0 && name_stays) GTEST_SKIP() << "no pending deletion reported here";
#endif
    EXPECT_EQ(after.links, 0) << (name_stays ? "the name stayed" : "the name went");
}

// A symbolic link (on Windows any reparse point) under the log's name is refused, and what it
// leads to is left as it was.
TEST_F(SystemTest, LogThroughASymbolicLinkIsRefused) {
    { std::ofstream(path("target")) << "keep\n"; }
#ifdef _WIN32
    // Unprivileged creation needs developer mode; wine says it made one and has not.
    CreateSymbolicLinkA(path("log").c_str(), path("target").c_str(),
                        SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    const DWORD attributes = GetFileAttributesA(path("log").c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        GTEST_SKIP() << "no symbolic link can be made here";
#else
    fs::create_symlink(path("target"), path("log"));
#endif
    log_kind kind = log_kind::regular;
    errno = 0;
    EXPECT_EQ(open_private_append(path("log").c_str(), kind), nullptr);
#ifdef _WIN32
    EXPECT_EQ(errno, EPERM);
#else
    EXPECT_EQ(errno, ELOOP);
#endif
    EXPECT_EQ(slurp(path("target")), "keep\n");
}

TEST(MemoryOutput, HandsOverWhatWasWrittenByteForByte) {
    char *data = nullptr;
    std::size_t size = 0;
    std::FILE *f = open_memory_output(&data, &size);
    ASSERT_NE(f, nullptr);
    const std::string text = "held\nline\r\n" + std::string(100000, 'x');
    std::fwrite(text.data(), 1, text.size(), f);
    close_memory_output(f, &data, &size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data, size), text);
    std::free(data);
}

TEST_F(SystemTest, AFileIsNoTerminal) {
    std::FILE *f = std::fopen(path("file").c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(is_terminal(f));
    EXPECT_GE(descriptor_of(f), 0);
    std::fclose(f);
}

#ifdef _WIN32
// Standard output is made a text stream: an LF written goes out as CR LF, as the platform's
// programs end their lines. Standard input is read byte for byte.
TEST_F(SystemTest, StandardOutputEndsLinesInCrLf) {
    std::fflush(stdout);
    const int saved = _dup(1);
    const int file = _open(path("out").c_str(), _O_WRONLY | _O_CREAT | _O_BINARY, 0600);
    ASSERT_GE(file, 0);
    _setmode(1, _O_BINARY);
    ASSERT_EQ(_dup2(file, 1), 0);
    ASSERT_TRUE(prepare_standard_streams());
    std::fputs("a\nb\n", stdout);
    std::fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
    _close(file);
    EXPECT_EQ(slurp(path("out")), "a\r\nb\r\n");
    EXPECT_EQ(_setmode(0, _O_BINARY), _O_BINARY) << "input was already binary";
}

// The default secret file lies in the system directory that Windows reports.
TEST(SystemDirectory, IsTheOneWindowsReports) {
    char dir[MAX_PATH + 1];
    const UINT n = GetSystemDirectoryA(dir, sizeof dir);
    ASSERT_GT(n, 0u);
    EXPECT_STREQ(system_directory(), dir);
    EXPECT_EQ(path_separator(), '\\');
}
#endif

} // namespace
} // namespace brennic
