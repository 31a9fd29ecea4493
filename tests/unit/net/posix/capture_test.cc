// The raw.dat capture's POSIX rules: file modes, FIFOs and other users' files, which Windows
// does not have (its counterpart, a reparse point refused, is Sending.CaptureRefusesALink).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "net/extra/utilities.h"
#include "tests/unit/net/sending_fixture.h"

namespace brennic {
namespace {

using testing::logged;
using testing::read_file;
using testing::Sending;
using testing::sent_bytes;

// The capture holds every byte sent: it is created owner-only, and only a regular file of
// the user's own receives them. A link, a FIFO (with or without a reader) and another user's
// file are left as they are and reported; the bytes are sent all the same. The alarm ends an
// open that waits for a FIFO's reader.
TEST_F(Sending, CaptureIsOnlyTheUsersOwnRegularFile) {
    const mode_t old_mask = ::umask(0);
    EXPECT_EQ(send_captured(5, "new", 3), 3);
    ::umask(old_mask);
    struct stat st {};
    ASSERT_EQ(::stat("raw.dat", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::unlink("raw.dat"), 0);

    std::ofstream("target") << "keep";
    const std::vector<std::string> setups = {"symlink", "fifo", "fifo with reader",
                                             "another user's file"};
    for (const std::string &setup : setups) {
        SCOPED_TRACE(setup);
        int reader = -1;
        if (setup == "symlink") {
            ASSERT_EQ(::symlink("target", "raw.dat"), 0);
        } else if (setup.rfind("fifo", 0) == 0) {
            ASSERT_EQ(::mkfifo("raw.dat", 0600), 0);
        }
        if (setup == "fifo with reader") reader = ::open("raw.dat", O_RDONLY | O_NONBLOCK);
        if (setup == "another user's file") {
            if (::geteuid() != 0) continue; // only root can give the file away
            std::ofstream("raw.dat") << "";
            ASSERT_EQ(::chown("raw.dat", 65534, 65534), 0);
        }
        logged.clear();
        sent_bytes.clear();
        ::alarm(10);
        EXPECT_EQ(send_captured(5, "data", 4), 4);
        ::alarm(0);
        EXPECT_EQ(sent_bytes, "data");
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_NE(logged[0].text.find("raw.dat"), std::string::npos);
        EXPECT_EQ(read_file("target"), "keep");
        char buf[8];
        if (reader >= 0) {
            EXPECT_LE(::read(reader, buf, sizeof buf), 0) << "nothing to read";
        } else if (setup == "another user's file") {
            EXPECT_EQ(read_file("raw.dat"), "");
        }
        if (reader >= 0) ::close(reader);
        ASSERT_EQ(::unlink("raw.dat"), 0);
    }
    ::unlink("target");
}

} // namespace
} // namespace brennic
