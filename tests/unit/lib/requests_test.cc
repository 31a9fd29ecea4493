// The request operations: request texts, refusals, blocking and asynchronous use, and the
// one retry when the host is no longer open.
#include <cstring>

#include "tests/unit/lib/support.h"

namespace brennic::test {
namespace {

class Requests : public LibraryTest {
  protected:
    void TearDown() override {
        free_result(&r);
        LibraryTest::TearDown();
    }
    brennic_result *r = nullptr;

    // The request was refused before sending: the caller keeps an unsent, zero-filled record.
    void expect_refused(int result) {
        EXPECT_EQ(result, 0);
        ASSERT_NE(r, nullptr);
        const brennic_result zero{};
        EXPECT_EQ(std::memcmp(r, &zero, sizeof zero), 0) << "an unsent, zero-filled record";
        free_result(&r);
    }
};

int quiet(int) { return 0; }

// The server's answer, sent at the first idle wait: once the request is out.
paired_host *answering = nullptr;
std::string answer;
int answer_when_idle(int) {
    if (answering == nullptr) return 0;
    answering->send(answer);
    answering = nullptr;
    return 1;
}

TEST_F(Requests, SetAcceptsAtMost18000AttributeCharacters) {
    host_count = 1;
    paired_host pair(0);
    const std::string at_limit(18000, 'a');
    EXPECT_EQ(request_set(3, "bob", "pw", at_limit.c_str(), &r), 1);
    EXPECT_EQ(pair.received(), "3 set bob pw " + at_limit + "\r\n");
    free_result(&r);

    clear_log();
    const std::string over(18001, 'a');
    EXPECT_EQ(request_mod(3, "bob", "pw", over.c_str(), &r), 0);
    ASSERT_NE(r, nullptr);
    const brennic_result zero{};
    EXPECT_EQ(std::memcmp(r, &zero, sizeof zero), 0) << "an unsent, zero-filled record";
    EXPECT_EQ(rlist, nullptr);
    EXPECT_EQ(count_log_prefix("Send request"), 0);
    EXPECT_EQ(pair.received(), "");
}

TEST_F(Requests, ALineEndInsideAFieldIsRefusedBeforeSending) {
    host_count = 1;
    paired_host pair(0);
    // Each would put a second request of the caller's data on the link.
    expect_refused(request_check(1, "bob", "x\r\n-1 del amy", &r));
    expect_refused(request_lookup(2, "bob\n3 del amy", &r));
    expect_refused(request_del(3, "amy\r", &r));
    expect_refused(request_set(4, "bob", "pw", "a=1\nb=2", &r));
    expect_refused(request_mod(5, "bob", "pw\n", "", &r));
    expect_refused(request_search(6, "search bob\r\n7 del amy", nullptr, &r));
    EXPECT_EQ(rlist, nullptr);
    EXPECT_EQ(count_log("Request refused: a line end inside a field", kLevelError), 6);
    // What is cut off before sending does not count: only the first 200 characters of a
    // search go out.
    const std::string long_search = "search " + std::string(200, 's') + "\n";
    EXPECT_EQ(request_search(8, long_search.c_str(), nullptr, &r), 1);
    EXPECT_EQ(pair.received(), "8 " + long_search.substr(0, 200) + "\r\n");
}

TEST_F(Requests, ANullPasswordIsSentAsNull) {
    host_count = 1;
    paired_host pair(0);
    EXPECT_EQ(request_set(1, "bob", nullptr, "attrs", &r), 1);
    free_result(&r);
    EXPECT_EQ(request_mod(2, "bob", nullptr, "", &r), 1);
    EXPECT_EQ(pair.received(), "1 set bob (NULL) attrs\r\n2 mod bob (NULL) \r\n");
}

TEST_F(Requests, RequestTextsOfEveryOperation) {
    host_count = 1;
    paired_host pair(0);
    const std::string long_user(100, 'u');
    EXPECT_EQ(request_check(1, long_user.c_str(), "", &r), 1);
    EXPECT_EQ(std::string(r->user), long_user);
    free_result(&r);
    request_lookup(2, "amy", &r);
    free_result(&r);
    request_del(3, "amy", &r);
    EXPECT_EQ(pair.received(), "1 check " + long_user + " \r\n" + "2 lookup amy\r\n3 del amy\r\n");
}

// The request fields hold 100 characters: a longer user name or password is refused, never
// sent cut short, where another password with the same start would pass.
TEST_F(Requests, AUserNameOrPasswordOver100IsRefusedBeforeSending) {
    host_count = 1;
    paired_host pair(0);
    const std::string u101(101, 'u'), p101(101, 'p'), p100(100, 'p');
    expect_refused(request_check(1, "bob", p101.c_str(), &r));
    expect_refused(request_check(2, u101.c_str(), "pw", &r));
    expect_refused(request_lookup(3, u101.c_str(), &r));
    expect_refused(request_del(4, u101.c_str(), &r));
    expect_refused(request_set(5, "bob", p101.c_str(), "a=1", &r));
    expect_refused(request_mod(6, u101.c_str(), nullptr, "", &r));
    EXPECT_EQ(rlist, nullptr);
    EXPECT_EQ(
        count_log("Request refused: user name or password longer than 100 characters", kLevelError),
        6);
    EXPECT_EQ(request_check(7, "bob", p100.c_str(), &r), 1);
    EXPECT_EQ(pair.received(), "7 check bob " + p100 + "\r\n");
}

TEST_F(Requests, SearchSendsTheFirst200CharactersAsUserSearch) {
    host_count = 1;
    paired_host pair(0);
    const std::string text = "search " + std::string(243, 's');
    EXPECT_EQ(request_search(9, text.c_str(), nullptr, &r), 1);
    EXPECT_EQ(pair.received(), "9 " + text.substr(0, 200) + "\r\n");
    EXPECT_STREQ(r->user, "search");
}

TEST_F(Requests, BlockingCheckAgainstAnOpenServer) {
    fake_server server;
    server.set_responder([](const std::string &line) {
        return line == "-1 check bob secret" ? "-1 +OK bob valid\r\n" : "-1 -ERR what\r\n";
    });
    const std::string path = secret_file();
    init_library(server.entry().c_str(), path.c_str(), capture_log);
    EXPECT_EQ(request_check(-1, "bob", "secret", &r), 1);
    ASSERT_NE(r->text, nullptr) << dump_log();
    EXPECT_STREQ(r->text, "+OK bob valid");
    EXPECT_EQ(r->ok, 1);
    EXPECT_EQ(rlist, nullptr);
    EXPECT_EQ(count_log("free result, retry..."), 0);
}

TEST_F(Requests, ARefusalFromAnOpenHostIsFinal) {
    host_count = 1;
    paired_host pair(0);
    answering = &pair;
    answer = "-1 -ERR no such user\r\n";
    hooks.idle_wait = answer_when_idle;
    EXPECT_EQ(request_lookup(-1, "nobody", &r), 1);
    EXPECT_STREQ(r->text, "-ERR no such user");
    EXPECT_EQ(r->ok, 0);
    EXPECT_EQ(count_log("free result, retry..."), 0);
}

TEST_F(Requests, AsynchronousLookupIsCollectedByPoll) {
    host_count = 1;
    paired_host pair(0);
    EXPECT_EQ(request_lookup(7, "bob", &r), 1);
    EXPECT_EQ(r->text, nullptr);
    EXPECT_EQ(rlist, r);
    pair.send("7 +OK bob\r\n");
    brennic_result *out = nullptr;
    for (int i = 0; i < 50 && poll_results(&out) == 0; ++i) {
    }
    EXPECT_EQ(out, r);
    EXPECT_STREQ(r->text, "+OK bob");
}

TEST_F(Requests, ALostLinkIsRetriedOnceWithAFreshRecord) {
    host_count = 1;
    paired_host pair(0); // its link setup is refused for the next minute
    pair.close_peer();
    EXPECT_EQ(request_check(-1, "bob", "pw", &r), 1);
    EXPECT_EQ(count_log("free result, retry..."), 1) << dump_log();
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->text, "-ERR brenniclib failed while talking to brennic server");
    EXPECT_EQ(r->ok, 0);
    EXPECT_EQ(rlist, nullptr);
    EXPECT_EQ(count_log("Send request to host 0 pair0, user (bob) "), 2);
}

std::vector<std::string> search_lines;
int note_search_line(int, const char *line) {
    search_lines.emplace_back(line);
    return 0;
}

// Between polls: the first server's link breaks, and the second server answers a search
// once it has been sent one.
struct two_servers {
    paired_host *first = nullptr;
    paired_host *second = nullptr;
    bool answered = false;
    std::string request;    // what the second server was sent
    std::string first_says; // what the first server sends before its link breaks
};
two_servers servers;
int between_polls(int) {
    if (servers.first != nullptr && !servers.first_says.empty()) {
        servers.first->send(servers.first_says);
        servers.first_says.clear();
        return 1;
    }
    if (servers.first != nullptr) servers.first->close_peer();
    servers.first = nullptr;
    if (!servers.answered && servers.second != nullptr &&
        !(servers.request = servers.second->received()).empty()) {
        servers.second->send("-1 +DATA alice\r\n-1 +OK search 1 found\r\n");
        servers.answered = true;
    }
    return 0;
}

TEST_F(Requests, ASearchThatHandedOverLinesIsNotSentAgainWhenItsLinkBreaks) {
    // The first server sends one +DATA line and then its link breaks. Sent again, the search
    // would hand the caller the second server's lines after the first one's.
    host_count = 2;
    paired_host pair0(0);
    paired_host pair1(1);
    servers = {&pair0, &pair1, false, {}, "-1 +DATA alice\r\n"};
    hooks.idle_wait = between_polls;
    search_lines.clear();
    EXPECT_EQ(request_search(-1, "search alice", note_search_line, &r), 1);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->text, "-ERR brenniclib failed while talking to brennic server");
    EXPECT_EQ(r->on_line, note_search_line) << "the caller's callback is back in the record";
    EXPECT_EQ(search_lines, (std::vector<std::string>{"+DATA alice"}));
    EXPECT_EQ(count_log("free result, retry..."), 0) << dump_log();
    EXPECT_EQ(servers.request, "");
    servers = {};
}

TEST_F(Requests, ASearchWhoseLinkBrokeBeforeAnyLineIsSentAgain) {
    host_count = 2;
    paired_host pair0(0);
    paired_host pair1(1);
    servers = {&pair0, &pair1, false, {}, {}};
    hooks.idle_wait = between_polls;
    search_lines.clear();
    EXPECT_EQ(request_search(-1, "search alice", note_search_line, &r), 1);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->text, "+OK search 1 found");
    EXPECT_EQ(search_lines, (std::vector<std::string>{"+DATA alice", "+OK search 1 found"}));
    EXPECT_EQ(count_log("free result, retry..."), 1) << dump_log();
    EXPECT_EQ(servers.request, "-1 search alice\r\n");
    servers = {};
}

TEST_F(Requests, AWaitThatGaveUpEndsItsLinkSoALateReplyAnswersNothing) {
    // The server answers the first check only after the wait gave up. That late "+OK" must
    // not become the reply of the next blocking check, whose id is the same.
    host_count = 1;
    paired_host pair(0); // its link setup is refused for the next minute
    hooks.idle_wait = quiet;
    brennic_result *other = nullptr;
    EXPECT_EQ(request_lookup(5, "amy", &other), 1);
    EXPECT_EQ(request_check(-1, "bob", "right", &r), 1);
    EXPECT_EQ(r->text, nullptr) << "the wait gave up";
    EXPECT_EQ(count_log("free result, retry..."), 0) << "sent once, waited once";
    EXPECT_EQ(count_log("No reply in time from host pair0: its link is ended", kLevelError), 1)
        << dump_log();
    EXPECT_EQ(hosts[0].open, 0);
    EXPECT_EQ(hosts[0].sock, -1);
    EXPECT_EQ(find_by_id(-1), nullptr) << "the record that gave up is out of the list";
    // The server's late answer: once the link is ended it has nowhere to go.
    if (hosts[0].sock != -1) pair.send("-1 +OK bob password accepted\r\n");
    free_result(&r);

    EXPECT_EQ(request_check(-1, "bob", "wrong", &r), 1);
    ASSERT_NE(r->text, nullptr);
    EXPECT_STREQ(r->text, "-ERR brenniclib failed while talking to brennic server")
        << "the late reply answered the next check";
    EXPECT_EQ(pair.received(), "5 lookup amy\r\n-1 check bob right\r\n");

    // The asynchronous request pending on the ended link comes back failed.
    brennic_result *out = nullptr;
    for (int i = 0; i < 5 && out == nullptr; ++i)
        poll_results(&out);
    EXPECT_EQ(out, other);
    free_result(&other);
}

TEST_F(Requests, NoHostMeansAFailureTextWithoutWaiting) {
    hooks.idle_wait = quiet;
    EXPECT_EQ(request_lookup(-1, "bob", &r), 1);
    EXPECT_STREQ(r->text, "-ERR brenniclib failed while talking to brennic server");
    EXPECT_EQ(count_log("free result, retry..."), 1);
    EXPECT_EQ(count_log("brennic_poll, returning false"), 0);
    EXPECT_EQ(rlist, nullptr);
}

TEST_F(Requests, AsynchronousRequestWithNoTakerLeavesOnlyTheSecondRecordPending) {
    host_count = 1;
    std::snprintf(hosts[0].name, sizeof hosts[0].name, "127.0.0.1:1");
    EXPECT_EQ(request_del(4, "bob", &r), 1);
    EXPECT_EQ(count_log("free result, retry..."), 1);
    // The first record was released while linked: the list must hold only the second.
    EXPECT_EQ(rlist, r);
    EXPECT_EQ(r->next, nullptr);
    brennic_result *out = nullptr;
    ASSERT_EQ(poll_results(&out), 1); // flagged when no host took it
    EXPECT_EQ(out, r);
    EXPECT_STREQ(r->text, "-ERR brenniclib failed while talking to brennic server");
}

// A request no host took must come back failed from the next poll, whatever becomes of the
// host it names before that poll.
TEST_F(Requests, ARequestNoHostTookComesBackWhenItsHostLeavesTheTable) {
    host_count = 2;
    std::snprintf(hosts[0].name, sizeof hosts[0].name, "127.0.0.1:1");
    std::snprintf(hosts[1].name, sizeof hosts[1].name, "127.0.0.1:1");
    EXPECT_EQ(request_check(1, "bob", "pw", &r), 1);
    ASSERT_EQ(r->host, &hosts[1]);
    host_count = 1; // as after a second init with a shorter list: host 1 is read no more
    brennic_result *out = nullptr;
    for (int i = 0; i < 5 && out == nullptr; ++i)
        poll_results(&out);
    ASSERT_EQ(out, r);
    EXPECT_STREQ(r->text, "-ERR brenniclib failed while talking to brennic server");
}

TEST_F(Requests, ARequestNoHostTookComesBackWhenItsHostOpensANewLink) {
    host_count = 1;
    std::snprintf(hosts[0].name, sizeof hosts[0].name, "127.0.0.1:1");
    EXPECT_EQ(request_check(1, "bob", "pw", &r), 1);
    paired_host pair(0); // a later request set the link up again; it never carried this one
    brennic_result *out = nullptr;
    for (int i = 0; i < 5 && out == nullptr; ++i)
        poll_results(&out);
    ASSERT_EQ(out, r);
    EXPECT_STREQ(r->text, "-ERR brenniclib failed while talking to brennic server");
    EXPECT_EQ(pair.received(), "");
}

} // namespace
} // namespace brennic::test
