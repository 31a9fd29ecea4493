// Asynchronous requests through the C interface, beside the hand-written client measured in
// the same run:
//  - K check requests with distinct ids sent with brennic_check, then collected with
//    brennic_poll (each record freed as it comes back, as a caller would), for K of 10, 100,
//    1 000 and 10 000 in flight; the baseline pipelines the same K lines (one send call
//    each, as the library makes) and reads the K replies;
//  - the test server's own capacity: several hand-written clients pipelining at once.
// Every reply is checked against its request; a wrong or missing one fails the benchmark.
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/requests/baseline_client.h"
#include "bench/requests/harness.h"
#include "brennic.h"

namespace {

using namespace brennic::bench;

constexpr double kRateGoal = 100000.0; // requests per second at 1 000 in flight
constexpr double kRatioGoal = 0.3;     // of the baseline's rate at 1 000 in flight
constexpr int kGoalInFlight = 1000;
constexpr int kRequestsPerSize = 20000; // rounds of each size add up to about this many
constexpr int kMinRounds = 1;
constexpr double kSizeBudgetSeconds = 5.0; // no new round of a size starts after this long
constexpr int kCollectLimitSeconds = 30;   // a collection that takes longer has lost replies
constexpr int kServerSeconds = 600;
constexpr int kCapacityWindow = 200; // requests each capacity client keeps in flight

struct settings {
    std::string bin_dir;
    std::vector<int> sizes{10, 100, 1000, 10000};
    int requests_per_size = kRequestsPerSize;
    int capacity_clients = 3;
    double capacity_seconds = 1.0;
    // Logging off (no callback) by default, as a caller that does not log runs; with --log
    // a callback that counts and drops the lines is registered, and the library must then
    // format every diagnostic, including one line per pending record passed in a take-out.
    bool with_log = false;
    // With --log-level N, brennic_set_log_level(N): at 3 the callback receives errors only,
    // and the library owes it no line per record.
    int log_level = 1;
};

const char *verdict(bool met) { return met ? "met" : "NOT met"; }

// Counts the lines it is handed and drops them: the count shows how much diagnostic work
// each request costs.
long log_lines = 0;
int quiet_log(int, const char *) {
    ++log_lines;
    return 1;
}

struct round_figures {
    double send_ns = 0;    // whole send phase
    double collect_ns = 0; // whole collection phase
    long empty_polls = 0;
    long log_lines = 0; // diagnostic lines delivered during the round
    bool ok = false;
};

// K requests sent through the library with ids 0..K-1, then collected.
round_figures library_round(int k) {
    round_figures f;
    std::vector<brennic_result *> recs(static_cast<std::size_t>(k), nullptr);
    std::vector<std::string> users, passwords;
    for (int i = 0; i < kBenchUsers; ++i) {
        users.push_back(user_name(i));
        passwords.push_back(user_password(i));
    }
    const long lines_before = log_lines;
    const std::int64_t t0 = now_ns();
    bool ok = true;
    for (int i = 0; i < k && ok; ++i)
        ok = brennic_check(i, users[static_cast<std::size_t>(i % kBenchUsers)].c_str(),
                           passwords[static_cast<std::size_t>(i % kBenchUsers)].c_str(),
                           &recs[static_cast<std::size_t>(i)]) == 1;
    const std::int64_t t1 = now_ns();
    int collected = 0;
    const std::int64_t give_up = t1 + std::int64_t{kCollectLimitSeconds} * 1000000000;
    while (ok && collected < k) {
        brennic_result *r = nullptr;
        if (brennic_poll(&r) == 0) {
            // The interface offers nothing to wait on: a caller polls again, yielding the
            // processor so that spinning does not starve the server on a small machine.
            ++f.empty_polls;
            sched_yield();
            if ((f.empty_polls & 1023) == 0 && now_ns() > give_up) ok = false;
            continue;
        }
        const int id = r->id;
        ok = id >= 0 && id < k && recs[static_cast<std::size_t>(id)] == r && r->ok == 1 &&
             r->failed == 0 && r->text != nullptr && r->text == accepted_text(id % kBenchUsers);
        if (ok) brennic_free(&recs[static_cast<std::size_t>(id)]);
        ++collected;
    }
    const std::int64_t t2 = now_ns();
    f.log_lines = log_lines - lines_before;
    for (brennic_result *&r : recs)
        brennic_free(&r);
    f.send_ns = static_cast<double>(t1 - t0);
    f.collect_ns = static_cast<double>(t2 - t1);
    f.ok = ok;
    return f;
}

// The same K lines pipelined by the hand-written client, then the K replies read.
round_figures baseline_round(baseline_client &c, int k, std::vector<char> &seen) {
    round_figures f;
    seen.assign(static_cast<std::size_t>(k), 0);
    std::vector<std::string> texts;
    texts.reserve(static_cast<std::size_t>(k));
    for (int i = 0; i < k; ++i)
        texts.push_back("check " + user_name(i % kBenchUsers) + " " +
                        user_password(i % kBenchUsers));
    const std::int64_t t0 = now_ns();
    bool ok = true;
    for (int i = 0; i < k && ok; ++i)
        ok = c.send_line(i, texts[static_cast<std::size_t>(i)]);
    const std::int64_t t1 = now_ns();
    std::string line;
    for (int n = 0; n < k && ok; ++n) {
        ok = c.read_line(line);
        if (!ok) break;
        const std::int32_t id = line_id(line);
        ok = id >= 0 && id < k && seen[static_cast<std::size_t>(id)] == 0 &&
             line_text(line) == accepted_text(id % kBenchUsers);
        if (ok) seen[static_cast<std::size_t>(id)] = 1;
    }
    const std::int64_t t2 = now_ns();
    f.send_ns = static_cast<double>(t1 - t0);
    f.collect_ns = static_cast<double>(t2 - t1);
    f.ok = ok;
    return f;
}

struct size_result {
    int k = 0;
    double library_rps = 0;
    double baseline_rps = 0;
    double collect_ns = 0; // library collection cost per request
    double ratio = 0;      // median over the rounds of baseline time over library time
};

bool bench_in_flight(const settings &cfg, const server_process &server, const std::string &secret,
                     std::vector<size_result> &results) {
    std::printf("== Asynchronous checks through the C interface: send K, then collect with "
                "brennic_poll ==\n");
    std::printf("  %6s %6s | %10s %11s %14s %11s %10s | %10s %6s\n", "K", "rounds", "library/s",
                "send ns/req", "collect ns/req", "empty polls", "log/req", "baseline/s", "ratio");
    baseline_client base;
    if (!base.open(server.port(), secret)) {
        std::printf("  FAILED: the baseline client could not connect\n");
        return false;
    }
    std::vector<char> seen;
    for (int k : cfg.sizes) {
        const int rounds = std::max(kMinRounds, cfg.requests_per_size / k);
        std::vector<double> lib_rps, base_rps, ratios, send_ns, collect_ns;
        long empty = 0, lines = 0;
        const std::int64_t size_start = now_ns();
        int r = 0;
        for (; r < rounds; ++r) {
            if (r >= kMinRounds &&
                static_cast<double>(now_ns() - size_start) / 1e9 > kSizeBudgetSeconds)
                break;
            round_figures lf = library_round(k);
            round_figures bf = baseline_round(base, k, seen);
            if (!lf.ok || !bf.ok) {
                std::printf("  FAILED at K=%d: %s\n", k,
                            lf.ok ? "baseline reply mismatch" : "library result mismatch or lost");
                return false;
            }
            const double lib_s = (lf.send_ns + lf.collect_ns) / 1e9;
            const double base_s = (bf.send_ns + bf.collect_ns) / 1e9;
            lib_rps.push_back(k / lib_s);
            base_rps.push_back(k / base_s);
            ratios.push_back(base_s / lib_s);
            send_ns.push_back(lf.send_ns / k);
            collect_ns.push_back(lf.collect_ns / k);
            empty += lf.empty_polls;
            lines += lf.log_lines;
        }
        size_result res{k, median(lib_rps), median(base_rps), median(collect_ns), median(ratios)};
        results.push_back(res);
        std::printf("  %6d %6d | %10.0f %11.0f %14.0f %11.1f %10.1f | %10.0f %6.2f\n", k, r,
                    res.library_rps, median(send_ns), median(collect_ns),
                    static_cast<double>(empty) / r, static_cast<double>(lines) / r / k,
                    res.baseline_rps, res.ratio);
        std::fflush(stdout);
    }
    // Collection cost per request from one size to the next: flat when collecting is linear
    // in K; a pending list searched from end to end at every step makes it grow with K.
    for (std::size_t i = 1; i < results.size(); ++i)
        std::printf("  collect ns/req K=%d over K=%d: %.1fx (K grew %.0fx)\n", results[i].k,
                    results[i - 1].k, results[i].collect_ns / results[i - 1].collect_ns,
                    static_cast<double>(results[i].k) / results[i - 1].k);
    return true;
}

// Several hand-written clients, each on its own thread and link, keeping a window of
// requests in flight for a fixed time. Returns replies per second over all of them.
double server_capacity(const settings &cfg, const server_process &server, const std::string &secret,
                       bool &ok) {
    const int clients = cfg.capacity_clients;
    std::vector<baseline_client> links(static_cast<std::size_t>(clients));
    std::string reply;
    ok = true;
    for (auto &c : links) {
        // One request on the main thread first: the keystream picks its code path once.
        ok = ok && c.open(server.port(), secret) && c.request(1, "check u1 p1", reply) &&
             reply == accepted_text(1);
    }
    if (!ok) return 0;
    std::atomic<bool> go{false}, stop{false};
    std::vector<long> counts(static_cast<std::size_t>(clients), 0);
    std::vector<char> failures(static_cast<std::size_t>(clients), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; ++t) {
        threads.emplace_back([&, t] {
            baseline_client &c = links[static_cast<std::size_t>(t)];
            std::string batch, line;
            while (!go.load())
                std::this_thread::yield();
            long done = 0;
            while (!stop.load()) {
                batch.clear();
                for (int i = 0; i < kCapacityWindow; ++i)
                    baseline_client::append_line(batch, i, "check u7 p7");
                if (!c.send_batch(batch)) break;
                int got = 0;
                for (; got < kCapacityWindow; ++got) {
                    if (!c.read_line(line) || line_text(line) != accepted_text(7)) break;
                }
                if (got != kCapacityWindow) {
                    failures[static_cast<std::size_t>(t)] = 1;
                    break;
                }
                done += got;
            }
            counts[static_cast<std::size_t>(t)] = done;
        });
    }
    const std::int64_t t0 = now_ns();
    go.store(true);
    while (static_cast<double>(now_ns() - t0) / 1e9 < cfg.capacity_seconds)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop.store(true);
    for (auto &th : threads)
        th.join();
    const double seconds = static_cast<double>(now_ns() - t0) / 1e9;
    long total = 0;
    for (int t = 0; t < clients; ++t) {
        total += counts[static_cast<std::size_t>(t)];
        if (failures[static_cast<std::size_t>(t)] != 0) ok = false;
    }
    return static_cast<double>(total) / seconds;
}

bool usage() {
    std::fprintf(
        stderr,
        "usage: bench_async [--quick] [--sizes K,K,...] [--log | --null-log] [--log-level N] "
        "[--bin DIR]\n");
    return false;
}

bool parse(int argc, char **argv, settings &cfg) {
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--quick") {
            cfg.sizes = {10, 100, 1000};
            cfg.requests_per_size = 2000;
            cfg.capacity_seconds = 0.2;
        } else if (a == "--sizes" && i + 1 < argc) {
            // A comma-separated list of in-flight counts.
            cfg.sizes.clear();
            for (const char *p = argv[++i]; *p != '\0';) {
                char *end = nullptr;
                long v = std::strtol(p, &end, 10);
                if (end == p || v < 1 || v > 1000000) return usage();
                cfg.sizes.push_back(static_cast<int>(v));
                p = *end == ',' ? end + 1 : end;
                if (*end != ',' && *end != '\0') return usage();
            }
        } else if (a == "--log") {
            cfg.with_log = true;
        } else if (a == "--log-level" && i + 1 < argc) {
            cfg.log_level = std::atoi(argv[++i]);
            if (cfg.log_level < 1 || cfg.log_level > 3) return usage();
        } else if (a == "--null-log") {
            cfg.with_log = false;
        } else if (a == "--bin" && i + 1 < argc) {
            cfg.bin_dir = argv[++i];
        } else {
            return usage();
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    settings cfg;
    cfg.bin_dir = own_bin_dir();
    if (!parse(argc, argv, cfg)) return 2;
    scratch_dir dir;
    server_process server;
    if (!dir.ok() || !server.start(cfg.bin_dir, dir, kServerSeconds)) {
        std::fprintf(stderr, "bench_async: cannot start the test server from %s\n",
                     cfg.bin_dir.c_str());
        return 2;
    }
    const std::string secret = read_secret_line(dir.file("secret"));
    std::printf("test server on %s\n", server.address().c_str());
    brennic_init(server.address().c_str(), dir.file("secret").c_str(),
                 cfg.with_log ? quiet_log : nullptr);
    brennic_set_log_level(cfg.log_level);
    std::printf("log callback: %s; log level %d\n",
                cfg.with_log ? "no-op (counts lines)" : "none (logging off)", cfg.log_level);

    std::vector<size_result> results;
    bool ok = bench_in_flight(cfg, server, secret, results);
    if (ok) {
        for (const size_result &r : results) {
            if (r.k != kGoalInFlight) continue;
            std::printf("  K=%d: library %.0f req/s, goal >= %.0f: %s; %.2f of the baseline, "
                        "goal >= %.2f: %s\n",
                        r.k, r.library_rps, kRateGoal, verdict(r.library_rps >= kRateGoal), r.ratio,
                        kRatioGoal, verdict(r.ratio >= kRatioGoal));
        }
    }
    brennic_close();

    if (ok) {
        std::printf("== Test server capacity: %d hand-written clients at once, %d requests in "
                    "flight each ==\n",
                    cfg.capacity_clients, kCapacityWindow);
        bool cap_ok = false;
        const double capacity = server_capacity(cfg, server, secret, cap_ok);
        double fastest = 0;
        for (const size_result &r : results)
            fastest = std::max({fastest, r.library_rps, r.baseline_rps});
        if (!cap_ok) {
            std::printf("  FAILED: a capacity client lost its link or a reply\n");
            ok = false;
        } else {
            std::printf("  server %.0f req/s; fastest client figure above %.0f req/s; "
                        "server above it: %s\n",
                        capacity, fastest, verdict(capacity > fastest));
        }
    }
    server.stop();
    return ok ? 0 : 1;
}
