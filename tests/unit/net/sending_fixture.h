// The fixture of the sending utilities' tests: a scripted send in place of the platform's,
// and a fresh working directory of its own for the raw.dat capture.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "net/platform.h"
#include "net/tcp.h"
#include "tests/unit/net/net_fixture.h"

namespace brennic::testing {

// What the scripted send took, and how it misbehaves: sends this many bytes fewer, at most
// this many at once, and fails with a reset after this many more calls (-1: never).
inline std::string sent_bytes;
inline int send_shortfall = 0;
inline int send_chunk = 0;
inline int send_fail_after = -1;

inline ssize_t scripted_send(int, const void *bytes, size_t length, int) {
    if (send_fail_after == 0) {
        sys.set_error(10054); // WSAECONNRESET
        return -1;
    }
    if (send_fail_after > 0) --send_fail_after;
    size_t n = length;
    if (send_chunk > 0 && n > static_cast<size_t>(send_chunk)) n = send_chunk;
    if (send_shortfall > 0 && n >= static_cast<size_t>(send_shortfall)) n -= send_shortfall;
    sent_bytes.append(static_cast<const char *>(bytes), n);
    return static_cast<ssize_t>(n);
}

inline std::string read_file(const char *name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

class Sending : public NetTest {
  protected:
    std::filesystem::path old_dir;
    std::filesystem::path temp_dir;
    void SetUp() override {
        NetTest::SetUp();
        sent_bytes.clear();
        send_shortfall = 0;
        send_chunk = 0;
        send_fail_after = -1;
        sys.send = scripted_send;
        old_dir = std::filesystem::current_path();
        std::random_device random;
        do {
            temp_dir =
                std::filesystem::temp_directory_path() / ("net_send_" + std::to_string(random()));
        } while (!std::filesystem::create_directory(temp_dir));
        std::filesystem::permissions(temp_dir, std::filesystem::perms::owner_all);
        std::filesystem::current_path(temp_dir);
    }
    void TearDown() override {
        std::filesystem::current_path(old_dir);
        std::error_code ignored;
        std::filesystem::remove_all(temp_dir, ignored);
        NetTest::TearDown();
    }
};

} // namespace brennic::testing
