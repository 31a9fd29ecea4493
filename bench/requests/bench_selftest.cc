// Checks that the benchmarks measure what they claim: the statistics, the hand-written
// client's exchange with the real test server (replies byte for byte, pipelined ids, a
// refused handshake), and the process harness. No figure is timed here.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench/requests/baseline_client.h"
#include "bench/requests/harness.h"

namespace brennic::bench {
namespace {

TEST(Percentile, NearestRankOverUnsortedSamples) {
    std::vector<double> s;
    for (int i = 100; i >= 1; --i)
        s.push_back(i);
    EXPECT_EQ(percentile(s, 50), 50);
    EXPECT_EQ(percentile(s, 99), 99);
    EXPECT_EQ(percentile(s, 100), 100);
    EXPECT_EQ(percentile(s, 0), 1);
    std::vector<double> odd{5, 1, 3};
    EXPECT_EQ(median(odd), 3);
    std::vector<double> one{7};
    EXPECT_EQ(percentile(one, 99), 7);
    std::vector<double> none;
    EXPECT_EQ(median(none), 0);
}

TEST(ReplyLines, IdAndTextAsTheClientReadsThem) {
    EXPECT_EQ(line_id("-1 +OK u1 password accepted"), -1);
    EXPECT_EQ(line_id("42 -ERR x"), 42);
    EXPECT_EQ(line_id("12abc"), 12);
    EXPECT_EQ(line_id("+7 x"), 7);
    EXPECT_EQ(line_id("abc"), 0);
    EXPECT_EQ(line_text("-1 +OK u1 password accepted"), "+OK u1 password accepted");
    EXPECT_EQ(line_text("5"), "");
    EXPECT_EQ(line_text("5 "), "");
}

class AgainstServer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        ASSERT_TRUE(server.start(own_bin_dir(), dir, 60)) << "from " << own_bin_dir();
        secret = read_secret_line(dir.file("secret"));
        ASSERT_FALSE(secret.empty());
    }
    scratch_dir dir;
    server_process server;
    std::string secret;
};

TEST_F(AgainstServer, BlockingRequestsGetTheirExactReplies) {
    baseline_client c;
    ASSERT_TRUE(c.open(server.port(), secret));
    std::string reply;
    ASSERT_TRUE(c.request(-1, "check u1 p1", reply));
    EXPECT_EQ(reply, accepted_text(1));
    ASSERT_TRUE(c.request(-1, "check u2 wrong", reply));
    EXPECT_EQ(reply, "-ERR u2 password rejected");
    // Intermediate lines are skipped; the final one is returned.
    ASSERT_TRUE(c.request(-1, "lookup u3", reply));
    EXPECT_EQ(reply, "+OK u3 mail=u3@example.org");
    // The keystream stays in step across many lines of both directions.
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(c.request(
            -1, "check " + user_name(i % kBenchUsers) + " " + user_password(i % kBenchUsers),
            reply));
        ASSERT_EQ(reply, accepted_text(i % kBenchUsers)) << "request " << i;
    }
}

TEST_F(AgainstServer, PipelinedLinesComeBackOncePerIdInOrder) {
    baseline_client c;
    ASSERT_TRUE(c.open(server.port(), secret));
    constexpr int kLines = 500;
    for (int i = 0; i < kLines; ++i)
        ASSERT_TRUE(c.send_line(i, "check " + user_name(i % kBenchUsers) + " " +
                                       user_password(i % kBenchUsers)));
    std::string line;
    for (int i = 0; i < kLines; ++i) {
        ASSERT_TRUE(c.read_line(line));
        EXPECT_EQ(line_id(line), i);
        EXPECT_EQ(line_text(line), accepted_text(i % kBenchUsers));
    }
    // A batch enciphered as one piece reads back the same way.
    std::string batch;
    for (int i = 0; i < 3; ++i)
        baseline_client::append_line(batch, 900 + i, "check u9 p9");
    ASSERT_TRUE(c.send_batch(batch));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(c.read_line(line));
        EXPECT_EQ(line, std::to_string(900 + i) + " " + accepted_text(9));
    }
}

TEST_F(AgainstServer, WrongSecretIsRefusedAtTheHandshake) {
    baseline_client c;
    // The server checks the hash remainder: a secret with another remainder is refused.
    std::string other = secret + "x";
    EXPECT_FALSE(c.open(server.port(), other));
    EXPECT_FALSE(c.is_open());
}

// The baseline as a process of its own: status 0 only when every reply was the right one.
TEST_F(AgainstServer, BaselineProgramReportsItsRunInItsStatus) {
    const std::string program = own_bin_dir() + "/bench_baseline";
    const std::string port = std::to_string(server.port());
    EXPECT_EQ(wait_child(spawn({program, port, dir.file("secret"), "250"}, -1, -1), nullptr), 0);
    const std::string wrong = dir.write("wrong-secret", secret + "x\n");
    ASSERT_FALSE(wrong.empty());
    EXPECT_EQ(wait_child(spawn({program, port, wrong, "1"}, -1, -1), nullptr), 1);
}

TEST(Harness, SpawnedProgramIsReapedWithItsStatusAndUsage) {
    pid_t pid = spawn({own_bin_dir() + "/bench_empty"}, -1, -1);
    ASSERT_GT(pid, 0);
    rusage usage{};
    EXPECT_EQ(wait_child(pid, &usage), 0);
    EXPECT_GT(usage.ru_maxrss, 0);
    EXPECT_EQ(spawn({own_bin_dir() + "/no-such-program"}, -1, -1), -1);
}

TEST(Harness, PipeCarriesEveryByte) {
    std::string text(50000, 'a');
    text[49999] = '\n';
    int in[2], back[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0); // the child must not hold the write end
    ASSERT_EQ(pipe2(back, O_CLOEXEC), 0);
    pid_t pid = spawn({"/bin/cat"}, in[0], back[1]);
    ASSERT_GT(pid, 0);
    close(in[0]);
    close(back[1]);
    ASSERT_TRUE(write_all(in[1], text.data(), text.size() / 2));
    ASSERT_TRUE(write_all(in[1], text.data() + text.size() / 2, text.size() - text.size() / 2));
    close(in[1]);
    std::string out;
    EXPECT_TRUE(read_all(back[0], out));
    close(back[0]);
    EXPECT_EQ(wait_child(pid, nullptr), 0);
    EXPECT_EQ(out, text);
}

TEST(Harness, ServerStopsAndItsPortCloses) {
    scratch_dir dir;
    server_process server;
    ASSERT_TRUE(server.start(own_bin_dir(), dir, 60));
    const int port = server.port();
    std::string secret = read_secret_line(dir.file("secret"));
    baseline_client c;
    ASSERT_TRUE(c.open(port, secret));
    c.close();
    server.stop();
    EXPECT_FALSE(c.open(port, secret));
}

} // namespace
} // namespace brennic::bench
