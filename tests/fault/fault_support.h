// Shared pieces of the fault tests: the users and secret files the test server and the
// console share, the console run with a time limit, and transcript readers.
#pragma once

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/child_process.h"

namespace brennic::fault {

inline constexpr char kUsers[] = "smith secret1 mail=smith@example.org dept=ops\n"
                                 "jones pw2 mail=jones@example.org\n";
inline constexpr char kSecretText[] = "fault test secret\n";
inline constexpr char kFailureText[] = "-ERR brenniclib failed while talking to brennic server";
inline constexpr char kCheckOk[] = "+OK smith password accepted\n";
inline constexpr char kLookupOk[] = "+OK smith mail=smith@example.org dept=ops\n";
inline constexpr char kSearchOk[] = "+DATA smith mail=smith@example.org dept=ops\n"
                                    "+OK search 1 found\n";
inline constexpr char kExiting[] = "+OK exiting\n";

inline std::string dead_line(const std::string &user) {
    return "-DEAD " + user + " " + kFailureText + "\n";
}

inline long long elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

// Splits text into lines (without LF); a last line without LF counts as well.
inline std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t lf = text.find('\n', start);
        if (lf == std::string::npos) lf = text.size();
        out.push_back(text.substr(start, lf - start));
        start = lf + 1;
    }
    return out;
}

// Lines of a console transcript that are replies (not diagnostic echoes of -debug).
inline std::vector<std::string> reply_lines(const std::string &out) {
    std::vector<std::string> replies;
    for (const std::string &l : lines_of(out)) {
        if (l.rfind("+OK", 0) == 0 || l.rfind("-ERR", 0) == 0 || l.rfind("-DEAD", 0) == 0 ||
            l.rfind("+DATA", 0) == 0)
            replies.push_back(l);
    }
    return replies;
}

inline int count_lines_equal(const std::string &out, const std::string &line) {
    int n = 0;
    for (const std::string &l : lines_of(out))
        if (l == line) ++n;
    return n;
}

inline int count_lines_starting(const std::string &out, const std::string &prefix) {
    int n = 0;
    for (const std::string &l : lines_of(out))
        if (l.rfind(prefix, 0) == 0) ++n;
    return n;
}

#ifndef _WIN32
// Peak resident set of the largest child reaped so far, in kilobytes. (Windows keeps no such
// figure for a process's children.)
inline long children_peak_rss_kb() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}
#endif

// Files and helpers every fault test shares.
class FaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        users_ = dir_.write("users.txt", kUsers);
        secret_ = dir_.write("secret.txt", kSecretText);
    }

    std::vector<std::string> server_args(const std::vector<std::string> &extra,
                                         const std::string &tag = "") const {
        std::vector<std::string> a = {"--users", users_,         "--secret",          secret_,
                                      "--quiet", "--transcript", transcript_path(tag)};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    std::string transcript_path(const std::string &tag = "") const {
        return dir_.file("transcript" + tag + ".txt");
    }
    // Events of one kind ("connect", "handshake", "request") in a server's transcript.
    std::vector<std::string> events(const std::string &kind, const std::string &tag = "") const {
        std::vector<std::string> out;
        for (const std::string &l : lines_of(e2e::read_text(transcript_path(tag)))) {
            std::size_t sp = l.find(' ');
            if (sp == std::string::npos) continue;
            std::string rest = l.substr(sp + 1);
            if (rest == kind) {
                out.push_back("");
            } else if (rest.rfind(kind + " ", 0) == 0) {
                out.push_back(rest.substr(kind.size() + 1));
            }
        }
        return out;
    }

    // Runs the console with the hosts and input; the run must end by itself within the
    // limit and exit with status 0.
    e2e::run_result console(const std::string &hosts, const std::string &input,
                            std::vector<std::string> extra = {}, int limit_ms = 20000) {
        std::vector<std::string> argv = {BRENNIC_CONSOLE_PATH, "-host", hosts, "-secret", secret_};
        argv.insert(argv.end(), extra.begin(), extra.end());
        const auto start = std::chrono::steady_clock::now();
        e2e::run_result r = e2e::run_program(argv, input, dir_.path(), limit_ms);
        last_run_ms_ = elapsed_ms(start);
        EXPECT_FALSE(r.timed_out) << "the console did not finish; output so far:\n" << r.out;
        EXPECT_EQ(r.exit_status, 0) << r.err;
        return r;
    }

    e2e::temp_dir dir_;
    std::string users_;
    std::string secret_;
    long long last_run_ms_ = 0;
};

} // namespace brennic::fault
