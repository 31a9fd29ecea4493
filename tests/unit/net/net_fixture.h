// Shared test support: captured diagnostics, the platform table put back after each test,
// and small loopback socket helpers.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/platform.h"
#include "tests/support/log_capture.h"
#include "tests/support/socket_checks.h"

namespace brennic::testing {

// Diagnostics delivered since the fixture started.
using logged_line = test::log_line;
extern std::vector<logged_line> &logged;

// Whether any captured line equals text exactly.
using test::was_logged;

class NetTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// A listening TCP socket on 127.0.0.1 with a port chosen by the system.
struct loopback_listener {
    int fd = -1;
    int port = 0;
    loopback_listener();
    ~loopback_listener();
    int accept_one() const; // blocking accept
};

// A connected pair over loopback TCP (test::loopback_pair): client side and server side.
struct loopback_pair {
    int client = -1;
    int server = -1;
    loopback_pair();
    ~loopback_pair();
};

// A port on 127.0.0.1 where nothing listens (bound then closed).
int unused_port();

// Whether fd is an open descriptor (a socket, on Windows).
using test::is_open;

} // namespace brennic::testing
