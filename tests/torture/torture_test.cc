// Failure injection: a scenario (start-up and a blocking check, or start-up and an
// asynchronous search collected by polling) is run once cleanly while the library's calls
// of one kind are counted, then once for every k with the k-th call of that kind failing.
// Kinds: record and text allocation, keystream allocation, socket creation, connect, send,
// receive, close, readiness wait and blocking-mode change. Every run must end in the state
// that failure calls for, release what it took (memory under the sanitizers, sockets
// counted here) and leave nothing pending.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "base/diag.h"
#include "brennic.h"
#include "lib/state.h"
#include "net/platform.h"
#include "net/system.h"
#include "tests/e2e/child_process.h"
#include "tests/support/log_capture.h"

namespace brennic::torture {
namespace {

enum class fault {
    alloc,     // records and their texts
    keystream, // the generators of a new link
    socket,
    connect,
    send,
    recv,
    close,
    poll,
    blocking_mode,
    file_open, // the secret file, read at every link setup
    count_
};
constexpr int kKinds = static_cast<int>(fault::count_);

const char *fault_name(fault f) {
    switch (f) {
    case fault::alloc:
        return "alloc";
    case fault::keystream:
        return "keystream";
    case fault::socket:
        return "socket";
    case fault::connect:
        return "connect";
    case fault::send:
        return "send";
    case fault::recv:
        return "recv";
    case fault::close:
        return "close";
    case fault::poll:
        return "poll";
    case fault::blocking_mode:
        return "blocking_mode";
    case fault::file_open:
        return "file_open";
    case fault::count_:
        break;
    }
    return "?";
}

// Counts the calls of every kind while armed and fails the fail_at-th call of one kind.
struct injector {
    bool armed = false;
    fault kind = fault::alloc;
    int fail_at = 0; // 0: never
    int calls[kKinds] = {};
    bool fired = false;
};
injector inj;

bool should_fail(fault f) {
    if (!inj.armed) return false;
    const int n = ++inj.calls[static_cast<int>(f)];
    if (f == inj.kind && n == inj.fail_at) {
        inj.fired = true;
        return true;
    }
    return false;
}

void *failing_alloc(std::size_t size) {
    if (should_fail(fault::alloc)) return nullptr;
    return std::calloc(1, size);
}

int failing_socket(int family, int type, int protocol) {
    if (should_fail(fault::socket)) {
        errno = EMFILE;
        return -1;
    }
    return ::socket(family, type, protocol);
}

int failing_connect(int sock, const sockaddr *address, socklen_t length) {
    if (should_fail(fault::connect)) {
        errno = ECONNREFUSED;
        return -1;
    }
    return ::connect(sock, address, length);
}

ssize_t failing_send(int sock, const void *bytes, size_t length, int flags) {
    if (should_fail(fault::send)) {
        errno = ECONNRESET;
        return -1;
    }
    return ::send(sock, bytes, length, flags);
}

ssize_t failing_recv(int sock, void *buffer, size_t length, int flags) {
    if (should_fail(fault::recv)) {
        errno = ECONNRESET;
        return -1;
    }
    return ::recv(sock, buffer, length, flags);
}

// A close that reports failure has still released the descriptor, as on POSIX.
int failing_close(int sock) {
    const int r = ::close(sock);
    if (should_fail(fault::close)) {
        errno = EIO;
        return -1;
    }
    return r;
}

int failing_poll(pollfd *fds, nfds_t count, int timeout_ms) {
    if (should_fail(fault::poll)) {
        errno = ENOMEM;
        return -1;
    }
    return ::poll(fds, count, timeout_ms);
}

socket_calls real_calls;

// The storage of every keystream generator (and of the pending list's index, which is
// never built here: every run has a log callback).
void *failing_allocate(std::size_t size) {
    if (should_fail(fault::keystream)) return nullptr;
    return std::malloc(size);
}

int failing_file_open(const char *path) {
    if (should_fail(fault::file_open)) {
        errno = EACCES;
        return -1;
    }
    return open_for_reading(path);
}

int failing_set_nonblocking(int sock, int on) {
    if (should_fail(fault::blocking_mode)) {
        errno = EBADF;
        return -1;
    }
    return real_calls.set_nonblocking(sock, on);
}

// The clock: fixed, so a host that failed stays throttled, or moving on by more than the
// throttle at every reading, so every setup attempt may go ahead.
constexpr std::int64_t kStart = 1700000000;
bool clock_moves = false;
std::int64_t clock_now = kStart;
std::int64_t read_clock() {
    if (clock_moves) clock_now += 61;
    return clock_now;
}

using test::capture_log;
using test::dump_log;
using test::log_lines;
using test::logged;

int open_descriptors() {
    int n = 0;
    if (DIR *d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr)
            ++n;
        ::closedir(d);
    }
    return n;
}

std::vector<std::string> &callback_lines() {
    static std::vector<std::string> lines;
    return lines;
}
int on_search_line(int, const char *line) {
    callback_lines().push_back(line != nullptr ? line : "(null)");
    return 1;
}

constexpr char kFailureText[] = "-ERR brenniclib failed while talking to brennic server";

// A blocking check on one host; an asynchronous search on one host, collected by polling;
// a blocking check and lookup with the same server listed twice, so one failure can always
// be carried by the other link.
enum class scenario { blocking_check, async_search, two_hosts };

const char *scenario_name(scenario s) {
    switch (s) {
    case scenario::blocking_check:
        return "BlockingCheck";
    case scenario::async_search:
        return "AsyncSearch";
    case scenario::two_hosts:
        return "TwoHosts";
    }
    return "?";
}

std::string text_of(int result, const brennic_result *r) {
    if (r == nullptr) return "(no record, result " + std::to_string(result) + ")";
    return r->text != nullptr ? r->text : "(no text)";
}

struct outcome {
    int result = -1;
    bool record = false;
    bool text_set = false;
    std::string text;
    int ok = -1;
    int socket_after_close = 0;
    bool pending_left = false;
    long long ms = 0;
};

} // namespace
} // namespace brennic::torture

namespace brennic::torture {
namespace {

using e2e::server_process;
using e2e::temp_dir;

class Torture : public ::testing::TestWithParam<std::tuple<scenario, bool, fault>> {
  protected:
    static void SetUpTestSuite() {
        dir_ = new temp_dir();
        secret_ = dir_->write("secret.txt", "torture secret\n");
        users_ = dir_->write("users.txt", "smith secret1 mail=smith@example.org\n");
        server_ = new server_process();
        ASSERT_TRUE(server_->start({"--users", users_, "--secret", secret_, "--quiet"}));
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
        delete dir_;
        dir_ = nullptr;
    }

    outcome run(scenario which, fault kind, int fail_at) {
        reset_library();
        reset_socket_calls();
        real_calls = sys;
        sys.socket = failing_socket;
        sys.connect = failing_connect;
        sys.send = failing_send;
        sys.recv = failing_recv;
        sys.close = failing_close;
        sys.poll = failing_poll;
        sys.set_nonblocking = failing_set_nonblocking;
        hooks.open_file = failing_file_open;
        hooks.alloc_zeroed = failing_alloc;
        hooks.allocate = failing_allocate;
        hooks.now = read_clock;
        clock_now = kStart;
        log_lines().clear();
        callback_lines().clear();
        const int fds_before = open_descriptors();

        inj = injector{};
        inj.kind = kind;
        inj.fail_at = fail_at;
        inj.armed = true;
        const auto start = std::chrono::steady_clock::now();

        outcome out;
        const std::string entry = server_->address();
        brennic_result *r = nullptr;
        if (which == scenario::two_hosts) {
            const std::string both = entry + "," + entry;
            brennic_init(both.c_str(), secret_.c_str(), capture_log);
            const int first = brennic_check(-1, "smith", "secret1", &r);
            out.text = text_of(first, r) + " | ";
            brennic_free(&r);
            out.result = brennic_lookup(-1, "smith", &r);
            out.text += text_of(out.result, r);
            out.record = true;
            out.text_set = true;
            out.ok = r != nullptr ? r->ok : 0;
        } else {
            brennic_init(entry.c_str(), secret_.c_str(), capture_log);
            if (which == scenario::blocking_check) {
                out.result = brennic_check(-1, "smith", "secret1", &r);
            } else {
                out.result = brennic_search(3, "search smith", on_search_line, &r);
                if (out.result == 1 && r != nullptr) {
                    // Collect the record; every poll that finds nothing waits a little.
                    brennic_result *got = nullptr;
                    for (int i = 0; i < 2000; ++i) {
                        if (brennic_poll(&got) == 1) break;
                        wait_open_links(5);
                    }
                    EXPECT_EQ(got, r) << "the poll hands back the caller's record";
                }
            }
            out.record = r != nullptr;
            if (r != nullptr) {
                out.text_set = r->text != nullptr;
                if (r->text != nullptr) out.text = r->text;
                out.ok = r->ok;
            }
        }
        brennic_close();
        out.socket_after_close = hosts[0].sock;
        inj.armed = false;
        out.ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();

        brennic_free(&r);
        out.pending_left = rlist != nullptr;
        reset_library();
        reset_socket_calls();
        EXPECT_EQ(open_descriptors(), fds_before) << "a socket was left open";
        return out;
    }

    static temp_dir *dir_;
    static std::string secret_;
    static std::string users_;
    static server_process *server_;
};

temp_dir *Torture::dir_ = nullptr;
std::string Torture::secret_;
std::string Torture::users_;
server_process *Torture::server_ = nullptr;

// The diagnostic a failure of this kind leaves when it ends a link setup or a link.
bool failure_explained(fault kind) {
    switch (kind) {
    case fault::keystream:
        return logged("Unable to create keystream generators (");
    case fault::socket:
    case fault::connect:
        return logged("tcp_open failed (");
    case fault::send:
        return logged("write_encrypt failed (") || logged("Write failed ");
    case fault::recv:
        return logged("encrypt_read failed (") || logged("Lost connection to host ");
    case fault::poll:
        return logged("encrypt_read failed (");
    // No mode switch decides whether a link works: its receives never wait either way.
    case fault::blocking_mode:
        return false;
    // Without its secret the handshake carries the wrong remainder and the server refuses.
    case fault::file_open:
        return logged("Unable to generate secret file contents") &&
               logged("-ERR Cannot encrypt link for some reason ");
    default:
        return false;
    }
}

TEST_P(Torture, EveryCallFailingInTurn) {
    const auto [which, moves, kind] = GetParam();
    clock_moves = moves;
    const std::string success =
        which == scenario::blocking_check ? "+OK smith password accepted"
        : which == scenario::async_search
            ? "+OK search 1 found"
            : "+OK smith password accepted | +OK smith mail=smith@example.org";

    // The clean run: the request is answered, and the calls are counted.
    outcome clean = run(which, kind, 0);
    ASSERT_EQ(clean.result, 1) << dump_log();
    ASSERT_EQ(clean.text, success) << dump_log();
    EXPECT_EQ(clean.ok, 1);
    EXPECT_FALSE(clean.pending_left);
    const int total = inj.calls[static_cast<int>(kind)];
    if (which == scenario::async_search) {
        EXPECT_EQ(callback_lines(),
                  (std::vector<std::string>{"+DATA smith mail=smith@example.org", success}));
    }
    RecordProperty("calls", total);
    if (kind != fault::close && kind != fault::blocking_mode) {
        EXPECT_GT(total, 0) << fault_name(kind) << " is never called";
    }

    for (int k = 1; k <= total; ++k) {
        SCOPED_TRACE(std::string(fault_name(kind)) + " call " + std::to_string(k) + " of " +
                     std::to_string(total) + (moves ? ", clock moving" : ", clock fixed"));
        outcome o = run(which, kind, k);
        if (!inj.fired) continue; // a timing-dependent call that this run did not make
        EXPECT_FALSE(o.pending_left) << "a released record is still pending";
        EXPECT_EQ(o.socket_after_close, -1);
        EXPECT_LT(o.ms, 15000);
        if (which == scenario::two_hosts) {
            // One failure takes down one link at most; the other carries both requests.
            // Only an allocation that fails can cost a request its record or its text.
            if (kind != fault::alloc) {
                EXPECT_EQ(o.text, success) << dump_log();
            }
            continue;
        }

        if (kind == fault::alloc && !o.record) {
            // Only a record that could not be had makes the operation return 0.
            EXPECT_EQ(o.result, 0);
            continue;
        }
        ASSERT_TRUE(o.record);
        EXPECT_EQ(o.result, 1);
        if (!o.text_set) {
            // Only a reply text that could not be copied is missing.
            EXPECT_EQ(kind, fault::alloc) << dump_log();
            continue;
        }
        EXPECT_EQ(o.ok, o.text.rfind("+OK", 0) == 0 ? 1 : 0) << o.text;
        if (o.text == success) {
            if (which == scenario::async_search) {
                EXPECT_EQ(callback_lines().size(), 2u);
                EXPECT_EQ(callback_lines().back(), success);
            }
            continue;
        }
        ASSERT_EQ(o.text, kFailureText) << dump_log();
        EXPECT_EQ(o.ok, 0);
        // A failed link is always explained in the log.
        EXPECT_TRUE(failure_explained(kind)) << dump_log();
        if (moves && which == scenario::blocking_check) {
            ADD_FAILURE() << "with the throttle out of the way the retry must succeed\n"
                          << dump_log();
        }
        for (const std::string &line : callback_lines())
            EXPECT_NE(line, success);
    }
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<scenario, bool, fault>> &info) {
    const auto [which, moves, kind] = info.param;
    return std::string(scenario_name(which)) + (moves ? "ClockMoving_" : "ClockFixed_") +
           fault_name(kind);
}

constexpr fault kAllKinds[] = {
    fault::alloc, fault::keystream, fault::socket, fault::connect,       fault::send,
    fault::recv,  fault::close,     fault::poll,   fault::blocking_mode, fault::file_open};

INSTANTIATE_TEST_SUITE_P(Calls, Torture,
                         ::testing::Combine(::testing::Values(scenario::blocking_check,
                                                              scenario::async_search,
                                                              scenario::two_hosts),
                                            ::testing::Bool(), ::testing::ValuesIn(kAllKinds)),
                         case_name);

// The exchange runs on a blocking socket, and its receives must still never wait: a poll
// that reaches a link whose server has nothing to send goes on at once. Host 0 answers a
// check slowly while host 1 stays silent; the check must be answered at once, not when host
// 1's server ends (after 5 seconds). The same holds whichever of the mode switches of the two
// link setups fails (before and after the connect, and into blocking mode once the link is
// up; the count of a run with none failing), and when none does.
TEST(TortureLink, IdleLinkDoesNotStallThePoll) {
    temp_dir dir;
    const std::string secret = dir.write("secret.txt", "torture secret\n");
    const std::string users = dir.write("users.txt", "smith secret1 mail=smith@example.org\n");
    int switches = 0;
    for (int fail_at = 0; fail_at <= switches; ++fail_at) {
        SCOPED_TRACE(fail_at == 0 ? std::string("no switch fails")
                                  : "switch " + std::to_string(fail_at) + " fails");
        server_process slow, idle;
        ASSERT_TRUE(slow.start(
            {"--users", users, "--secret", secret, "--quiet", "--chunk", "4", "--pause", "20"}));
        ASSERT_TRUE(
            idle.start({"--users", users, "--secret", secret, "--quiet", "--max-seconds", "5"}));
        reset_library();
        reset_socket_calls();
        real_calls = sys;
        sys.set_nonblocking = failing_set_nonblocking;
        log_lines().clear();
        inj = injector{};
        inj.kind = fault::blocking_mode;
        inj.fail_at = fail_at;
        inj.armed = true; // counts the switches; fail_at 0 fails none
        const std::string hosts = slow.address() + "," + idle.address();
        EXPECT_EQ(brennic_init(hosts.c_str(), secret.c_str(), capture_log), 1);
        // A failed switch may add one: a connect made blocking completes before tcp_open
        // switches the socket back.
        if (fail_at == 0) switches = inj.calls[static_cast<int>(fault::blocking_mode)];
        EXPECT_GE(switches, 4);
        EXPECT_GE(inj.calls[static_cast<int>(fault::blocking_mode)], switches);
        EXPECT_EQ(inj.fired, fail_at > 0);
        const auto start = std::chrono::steady_clock::now();
        brennic_result *r = nullptr;
        EXPECT_EQ(brennic_check(-1, "smith", "secret1", &r), 1);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        ASSERT_NE(r, nullptr);
        EXPECT_STREQ(r->text, "+OK smith password accepted") << dump_log();
        EXPECT_LT(ms, 2000) << "the poll stalled in a receive on the idle link";
        inj.armed = false;
        brennic_free(&r);
        brennic_close();
        reset_library();
        reset_socket_calls();
    }
}

} // namespace
} // namespace brennic::torture
