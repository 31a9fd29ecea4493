// Requests through the console, each figure beside its baseline measured in the same run:
//  - throughput: N check commands piped into the console against the test server, beside
//    the hand-written client sending the same requests one at a time;
//  - latency: the console driven interactively through pipes (one command written, its
//    reply line read), beside the hand-written client's round trip;
//  - start-up: a whole console process that connects, answers one check and exits, beside
//    an empty program as the floor;
//  - memory: peak resident size of a 10 000-command session beside a 1-command session.
// Every reply is checked; a run with a wrong or missing reply fails the benchmark.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench/requests/baseline_client.h"
#include "bench/requests/harness.h"

namespace {

using namespace brennic::bench;

struct settings {
    std::string bin_dir;
    std::vector<int> sizes{1000, 10000};
    int throughput_runs = 9;
    int latency_samples = 2000;
    int startup_runs = 200;
    int memory_runs = 3;
    // Pipelined console: commands per run, runs on loopback and with the reply delay, and
    // the commands of the memory session.
    int pipeline_commands = 10000;
    int pipeline_runs = 5;
    int delay_commands = 10000;
    int delay_runs = 2;
    int pipeline_memory_commands = 100000;
    bool pipeline_only = false; // only the pipelined figures
};

struct context {
    settings cfg;
    scratch_dir dir;
    server_process server;
    server_process delayed_server; // answers every request after kReplyDelayMs
    std::string secret;
    bool failed = false;
};

constexpr double kThroughputGoal = 0.8;   // console requests/s over baseline requests/s
constexpr double kLatencyGoalMs = 1.0;    // console round trip minus baseline round trip
constexpr double kStartupGoalMs = 2.0;    // median of a whole one-check session
constexpr double kMemoryGoalKiB = 1024.0; // 10 000-command over 1-command peak size
constexpr int kLatencyBlock = 100;        // samples taken in turn from console and baseline
constexpr int kServerSeconds = 600;
constexpr int kPipelineDepth = 100;
constexpr double kPipelineLoopbackGoal = 5.0; // -pipeline 100 over one at a time, loopback
constexpr double kPipelineDelayGoal = 50.0;   // the same with the reply delay
constexpr double kPipelineBaselineGoal = 0.5; // -pipeline 100 over the pipelining baseline
constexpr int kReplyDelayMs = 1;              // stands in for a network round trip

const char *verdict(bool met) { return met ? "met" : "NOT met"; }

std::vector<std::string> console_argv(const context &ctx, const std::string &address = "",
                                      int depth = 1) {
    std::vector<std::string> argv = {ctx.cfg.bin_dir + "/brennic", "-host",
                                     address.empty() ? ctx.server.address() : address, "-secret",
                                     ctx.dir.file("secret")};
    if (depth > 1) {
        argv.push_back("-pipeline");
        argv.push_back(std::to_string(depth));
    }
    return argv;
}

// Every command's reply, in order, then the exit line.
bool output_matches(const std::string &out, int commands) {
    std::size_t pos = 0;
    for (int i = 0; i < commands; ++i) {
        std::size_t lf = out.find('\n', pos);
        if (lf == std::string::npos) return false;
        if (std::string_view(out).substr(pos, lf - pos) != accepted_text(i % kBenchUsers))
            return false;
        pos = lf + 1;
    }
    return out.compare(pos, std::string::npos, "+OK exiting\n") == 0;
}

struct session_figures {
    double seconds = 0;
    long maxrss_kib = 0;
    bool ok = false;
};

// Where the replies of a session go. Both are files, read back and checked afterwards, so
// that no reader of a pipe competes with the client for the processor. A memory file
// (memfd) costs the writer its write calls and nothing else; a file in the scratch
// directory adds whatever its file system does for every appended line, which is the
// disk's cost, not the client's.
enum class reply_sink { memory, disk };

int open_sink(const context &ctx, reply_sink sink) {
    if (sink == reply_sink::memory) {
        int fd = memfd_create("replies", MFD_CLOEXEC);
        if (fd >= 0) return fd;
        static bool told = false;
        if (!told) std::printf("  (no memory file here: every run writes to the disk)\n");
        told = true;
    }
    return open(ctx.dir.file("session-output").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC,
                0600);
}

// Everything written to a sink, from its start.
bool read_back(int fd, std::string &text) {
    return lseek(fd, 0, SEEK_SET) == 0 && read_all(fd, text);
}

// One console process reading its commands from input_path and writing its replies to
// sink; timed from spawn to reaping.
session_figures run_console_session(const context &ctx, const std::string &input_path, int commands,
                                    reply_sink sink = reply_sink::memory,
                                    const std::string &address = "", int depth = 1) {
    session_figures f;
    int in = open(input_path.c_str(), O_RDONLY | O_CLOEXEC);
    int out = open_sink(ctx, sink);
    if (in < 0 || out < 0) {
        if (in >= 0) close(in);
        if (out >= 0) close(out);
        return f;
    }
    const std::int64_t t0 = now_ns();
    pid_t pid = spawn(console_argv(ctx, address, depth), in, out);
    close(in);
    rusage usage{};
    int code = pid > 0 ? wait_child(pid, &usage) : -1;
    f.seconds = static_cast<double>(now_ns() - t0) / 1e9;
    f.maxrss_kib = usage.ru_maxrss;
    std::string text;
    bool read_ok = read_back(out, text);
    close(out);
    f.ok = read_ok && code == 0 && output_matches(text, commands);
    return f;
}

// The hand-written client: connect, handshake, then every request and its reply in turn.
double run_baseline_session(const context &ctx, int requests, bool &ok) {
    const std::int64_t t0 = now_ns();
    baseline_client c;
    ok = c.open(ctx.server.port(), ctx.secret);
    std::string reply;
    for (int i = 0; ok && i < requests; ++i)
        ok = c.request(-1, check_command(i), reply) && reply == accepted_text(i % kBenchUsers);
    c.close();
    return static_cast<double>(now_ns() - t0) / 1e9;
}

std::string write_commands(const context &ctx, int commands) {
    std::string text;
    for (int i = 0; i < commands; ++i)
        text += check_command(i) + "\n";
    return ctx.dir.write(("commands-" + std::to_string(commands)).c_str(), text);
}

void report_failure(context &ctx, const char *what) {
    std::printf("  FAILED: %s\n", what);
    ctx.failed = true;
}

std::vector<long> big_session_rss;

// Requests per second of n requests in each of the runs' seconds.
std::vector<double> rates(int n, const std::vector<double> &seconds) {
    std::vector<double> out;
    for (double s : seconds)
        out.push_back(n / s);
    return out;
}

// Per run, the speed of a against b: b's seconds over a's.
std::vector<double> ratios(const std::vector<double> &a, const std::vector<double> &b) {
    std::vector<double> out;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        out.push_back(b[i] / a[i]);
    return out;
}

// The baseline as a process of its own (bench_baseline), timed from spawn to reaping like
// the console; seconds, or a negative value when it failed.
double run_baseline_process(const context &ctx, int requests) {
    const std::int64_t t0 = now_ns();
    pid_t pid = spawn({ctx.cfg.bin_dir + "/bench_baseline", std::to_string(ctx.server.port()),
                       ctx.dir.file("secret"), std::to_string(requests)},
                      -1, -1);
    int code = pid > 0 ? wait_child(pid, nullptr) : -1;
    const double seconds = static_cast<double>(now_ns() - t0) / 1e9;
    return code == 0 ? seconds : -1;
}

void print_ratio_line(const char *label, std::vector<double> &ratios_of_runs) {
    std::printf("           %-34s ratio %.2f (min %.2f, max %.2f)\n", label, median(ratios_of_runs),
                percentile(ratios_of_runs, 0), percentile(ratios_of_runs, 100));
}

void bench_throughput(context &ctx) {
    std::printf("== Requests through the console: check commands piped in, logging off ==\n");
    std::printf("  (the console's replies go to a memory file; the baseline runs inside this "
                "program.\n   Beside it: the console with its replies in a file of the scratch "
                "directory,\n   and against the baseline run as a process of its own)\n");
    for (int n : ctx.cfg.sizes) {
        const std::string input = write_commands(ctx, n);
        // Seconds per run, in turn: console to memory, baseline, console to disk, baseline
        // process.
        std::vector<double> console_s, baseline_s, console_disk_s, process_s;
        for (int run = 0; run < ctx.cfg.throughput_runs; ++run) {
            session_figures s = run_console_session(ctx, input, n);
            bool base_ok = false;
            double base_s = run_baseline_session(ctx, n, base_ok);
            session_figures d = run_console_session(ctx, input, n, reply_sink::disk);
            double proc_s = run_baseline_process(ctx, n);
            if (!s.ok || !d.ok || !base_ok || proc_s < 0) {
                report_failure(ctx, s.ok && d.ok ? "baseline reply mismatch"
                                                 : "console output mismatch");
                return;
            }
            if (n == ctx.cfg.sizes.back()) big_session_rss.push_back(s.maxrss_kib);
            console_s.push_back(s.seconds);
            baseline_s.push_back(base_s);
            console_disk_s.push_back(d.seconds);
            process_s.push_back(proc_s);
        }
        std::vector<double> r = ratios(console_s, baseline_s);
        std::vector<double> console_rps = rates(n, console_s), baseline_rps = rates(n, baseline_s);
        std::vector<double> disk_r = ratios(console_disk_s, baseline_s);
        std::vector<double> process_r = ratios(console_s, process_s);
        const double ratio = median(r);
        std::printf("  N=%-6d console %9.0f req/s  baseline %9.0f req/s  ratio %.2f "
                    "(min %.2f, max %.2f over %d runs)  goal >= %.2f: %s\n",
                    n, median(console_rps), median(baseline_rps), ratio, percentile(r, 0),
                    percentile(r, 100), ctx.cfg.throughput_runs, kThroughputGoal,
                    verdict(ratio >= kThroughputGoal));
        print_ratio_line("console, replies on disk:", disk_r);
        print_ratio_line("console, baseline as a process:", process_r);
    }
}

// The hand-written client keeping window requests in flight over n requests: a new request
// goes out as each reply comes. Seconds, from connect to the last reply.
double run_pipelined_baseline(const context &ctx, int n, int window, bool &ok) {
    const std::int64_t t0 = now_ns();
    baseline_client c;
    ok = c.open(ctx.server.port(), ctx.secret);
    std::vector<char> seen(static_cast<std::size_t>(n), 0);
    std::string line;
    int sent = 0;
    for (int got = 0; ok && got < n; ++got) {
        for (; ok && sent < n && sent - got < window; ++sent)
            ok = c.send_line(sent, check_command(sent));
        ok = ok && c.read_line(line);
        const std::int32_t id = line_id(line);
        ok = ok && id >= 0 && id < n && seen[static_cast<std::size_t>(id)] == 0 &&
             line_text(line) == accepted_text(id % kBenchUsers);
        if (ok) seen[static_cast<std::size_t>(id)] = 1;
    }
    c.close();
    return static_cast<double>(now_ns() - t0) / 1e9;
}

// Seconds of each run of the console at depth 1 (a) and at kPipelineDepth (b), in turn, on
// the server at address; empty when a run failed.
bool time_depths(context &ctx, const std::string &address, int n, int runs, std::vector<double> &a,
                 std::vector<double> &b, std::vector<double> *baseline) {
    const std::string input = write_commands(ctx, n);
    for (int run = 0; run < runs; ++run) {
        session_figures one = run_console_session(ctx, input, n, reply_sink::memory, address, 1);
        session_figures many =
            run_console_session(ctx, input, n, reply_sink::memory, address, kPipelineDepth);
        if (!one.ok || !many.ok) {
            report_failure(ctx, "pipelined console output mismatch");
            return false;
        }
        a.push_back(one.seconds);
        b.push_back(many.seconds);
        if (baseline != nullptr) {
            bool ok = false;
            baseline->push_back(run_pipelined_baseline(ctx, n, kPipelineDepth, ok));
            if (!ok) {
                report_failure(ctx, "pipelining baseline reply mismatch");
                return false;
            }
        }
    }
    return true;
}

void bench_pipeline(context &ctx) {
    std::printf("== Pipelined console: -pipeline %d against one at a time, check commands piped "
                "in ==\n",
                kPipelineDepth);
    const int n = ctx.cfg.pipeline_commands;
    std::vector<double> one, many, base;
    if (!time_depths(ctx, "", n, ctx.cfg.pipeline_runs, one, many, &base)) return;
    std::vector<double> speedup = ratios(many, one), of_base = ratios(many, base);
    std::vector<double> one_rps = rates(n, one), many_rps = rates(n, many),
                        base_rps = rates(n, base);
    const double up = median(speedup), ob = median(of_base);
    std::printf("  loopback, N=%d: one at a time %9.0f req/s  -pipeline %d %9.0f req/s  "
                "speed-up %.1fx (min %.1f, max %.1f over %d runs)  goal >= %.0fx: %s\n",
                n, median(one_rps), kPipelineDepth, median(many_rps), up, percentile(speedup, 0),
                percentile(speedup, 100), ctx.cfg.pipeline_runs, kPipelineLoopbackGoal,
                verdict(up >= kPipelineLoopbackGoal));
    std::printf("  loopback, N=%d: pipelining baseline (%d in flight, in this program) %9.0f "
                "req/s; console %.2f of it (min %.2f, max %.2f)  goal >= %.2f: %s\n",
                n, kPipelineDepth, median(base_rps), ob, percentile(of_base, 0),
                percentile(of_base, 100), kPipelineBaselineGoal,
                verdict(ob >= kPipelineBaselineGoal));
    std::fflush(stdout);

    const int d = ctx.cfg.delay_commands;
    std::vector<double> slow_one, slow_many;
    if (!time_depths(ctx, ctx.delayed_server.address(), d, ctx.cfg.delay_runs, slow_one, slow_many,
                     nullptr))
        return;
    std::vector<double> slow_up = ratios(slow_many, slow_one);
    std::vector<double> s1 = rates(d, slow_one), s2 = rates(d, slow_many);
    const double su = median(slow_up);
    std::printf("  reply delay %d ms, N=%d: one at a time %9.0f req/s  -pipeline %d %9.0f req/s  "
                "speed-up %.1fx (min %.1f, max %.1f over %d runs)  goal >= %.0fx: %s\n",
                kReplyDelayMs, d, median(s1), kPipelineDepth, median(s2), su,
                percentile(slow_up, 0), percentile(slow_up, 100), ctx.cfg.delay_runs,
                kPipelineDelayGoal, verdict(su >= kPipelineDelayGoal));
    std::fflush(stdout);

    // Peak size: a long pipelined session against a 1-command one.
    const int m = ctx.cfg.pipeline_memory_commands;
    const std::string big = write_commands(ctx, m), small = write_commands(ctx, 1);
    session_figures b = run_console_session(ctx, big, m, reply_sink::memory, "", kPipelineDepth);
    session_figures s1c = run_console_session(ctx, small, 1);
    if (!b.ok || !s1c.ok) return report_failure(ctx, "pipelined memory session failed");
    std::printf("  peak size: %d-command -pipeline %d session %ld KiB, 1-command session %ld KiB, "
                "difference %+ld KiB  goal <= %.0f KiB: %s\n",
                m, kPipelineDepth, b.maxrss_kib, s1c.maxrss_kib, b.maxrss_kib - s1c.maxrss_kib,
                kMemoryGoalKiB,
                verdict(static_cast<double>(b.maxrss_kib - s1c.maxrss_kib) <= kMemoryGoalKiB));
}

// Reads one line (without LF) from fd, keeping what follows in buffer.
bool read_reply_line(int fd, std::string &buffer, std::string &line) {
    for (;;) {
        std::size_t lf = buffer.find('\n');
        if (lf != std::string::npos) {
            line.assign(buffer, 0, lf);
            buffer.erase(0, lf + 1);
            return true;
        }
        char chunk[4096];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) return false;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

void bench_latency(context &ctx) {
    std::printf("== Round trip of one check: console driven through pipes vs baseline ==\n");
    int to_console[2], from_console[2];
    if (pipe2(to_console, O_CLOEXEC) != 0) return report_failure(ctx, "pipe");
    if (pipe2(from_console, O_CLOEXEC) != 0) {
        close(to_console[0]);
        close(to_console[1]);
        return report_failure(ctx, "pipe");
    }
    pid_t pid = spawn(console_argv(ctx), to_console[0], from_console[1]);
    close(to_console[0]);
    close(from_console[1]);
    baseline_client base;
    bool ok = pid > 0 && base.open(ctx.server.port(), ctx.secret);

    std::vector<double> console_ms, baseline_ms;
    std::string buffer, line, reply;
    const int samples = ctx.cfg.latency_samples;
    int done_console = 0, done_base = 0;
    // Warm-up: the first commands pay for page faults and the first keystream block.
    for (int i = 0; ok && i < 20; ++i) {
        std::string cmd = check_command(i) + "\n";
        ok = write_all(to_console[1], cmd.data(), cmd.size()) &&
             read_reply_line(from_console[0], buffer, line) &&
             base.request(-1, check_command(i), reply);
    }
    while (ok && (done_console < samples || done_base < samples)) {
        for (int k = 0; ok && k < kLatencyBlock && done_console < samples; ++k, ++done_console) {
            const std::string cmd = check_command(done_console) + "\n";
            const std::int64_t t0 = now_ns();
            ok = write_all(to_console[1], cmd.data(), cmd.size()) &&
                 read_reply_line(from_console[0], buffer, line);
            const std::int64_t t1 = now_ns();
            ok = ok && line == accepted_text(done_console % kBenchUsers);
            console_ms.push_back(static_cast<double>(t1 - t0) / 1e6);
        }
        for (int k = 0; ok && k < kLatencyBlock && done_base < samples; ++k, ++done_base) {
            const std::int64_t t0 = now_ns();
            ok = base.request(-1, check_command(done_base), reply);
            const std::int64_t t1 = now_ns();
            ok = ok && reply == accepted_text(done_base % kBenchUsers);
            baseline_ms.push_back(static_cast<double>(t1 - t0) / 1e6);
        }
    }
    close(to_console[1]);
    std::string rest;
    if (pid > 0) {
        read_all(from_console[0], rest);
        int code = wait_child(pid, nullptr);
        ok = ok && code == 0 && (buffer + rest) == "+OK exiting\n";
    }
    close(from_console[0]);
    if (!ok) return report_failure(ctx, "reply mismatch or broken pipe in the round-trip run");

    const double c50 = percentile(console_ms, 50), c99 = percentile(console_ms, 99);
    const double b50 = percentile(baseline_ms, 50), b99 = percentile(baseline_ms, 99);
    std::printf("  console   median %.3f ms  p99 %.3f ms  (%d commands)\n", c50, c99, samples);
    std::printf("  baseline  median %.3f ms  p99 %.3f ms  (%d requests)\n", b50, b99, samples);
    std::printf("  console minus baseline: median %+.3f ms, p99 %+.3f ms  goal < %.1f ms: %s\n",
                c50 - b50, c99 - b99, kLatencyGoalMs,
                verdict(c50 - b50 < kLatencyGoalMs && c99 - b99 < kLatencyGoalMs));
}

// One whole process fed from input_path; milliseconds from spawn to reaping.
double time_process(const std::vector<std::string> &argv, const std::string &input_path,
                    std::string &out, long *maxrss_kib) {
    int in = open(input_path.c_str(), O_RDONLY | O_CLOEXEC);
    int fds[2];
    if (in < 0 || pipe2(fds, O_CLOEXEC) != 0) {
        if (in >= 0) close(in);
        return -1;
    }
    out.clear();
    const std::int64_t t0 = now_ns();
    pid_t pid = spawn(argv, in, fds[1]);
    close(fds[1]);
    close(in);
    bool read_ok = pid > 0 && read_all(fds[0], out);
    close(fds[0]);
    rusage usage{};
    int code = pid > 0 ? wait_child(pid, &usage) : -1;
    const double ms = static_cast<double>(now_ns() - t0) / 1e6;
    if (maxrss_kib != nullptr) *maxrss_kib = usage.ru_maxrss;
    return read_ok && code == 0 ? ms : -1;
}

void bench_startup(context &ctx) {
    std::printf(
        "== Start-up: a whole console session with one check, beside an empty program ==\n");
    const std::string input = write_commands(ctx, 1);
    const std::vector<std::string> empty_argv{ctx.cfg.bin_dir + "/bench_empty"};
    std::vector<double> console_ms, empty_ms;
    std::string out;
    for (int run = 0; run < ctx.cfg.startup_runs; ++run) {
        double c = time_process(console_argv(ctx), input, out, nullptr);
        if (c < 0 || !output_matches(out, 1)) return report_failure(ctx, "console session failed");
        double e = time_process(empty_argv, input, out, nullptr);
        if (e < 0) return report_failure(ctx, "empty program failed");
        console_ms.push_back(c);
        empty_ms.push_back(e);
    }
    const double c50 = median(console_ms), e50 = median(empty_ms);
    std::printf("  console session median %.3f ms  p90 %.3f ms\n", c50, percentile(console_ms, 90));
    std::printf("  empty program   median %.3f ms  p90 %.3f ms   (%d runs each)\n", e50,
                percentile(empty_ms, 90), ctx.cfg.startup_runs);
    std::printf("  console over floor: %+.3f ms  goal median < %.1f ms: %s\n", c50 - e50,
                kStartupGoalMs, verdict(c50 < kStartupGoalMs));
}

void bench_memory(context &ctx) {
    std::printf("== Peak resident size of a console session (wait4 ru_maxrss) ==\n");
    const std::string input = write_commands(ctx, 1);
    std::vector<double> small, big;
    for (int run = 0; run < ctx.cfg.memory_runs; ++run) {
        session_figures s = run_console_session(ctx, input, 1);
        if (!s.ok) return report_failure(ctx, "1-command session failed");
        small.push_back(static_cast<double>(s.maxrss_kib));
    }
    for (long kib : big_session_rss)
        big.push_back(static_cast<double>(kib));
    if (big.empty()) return report_failure(ctx, "no large session measured");
    const double s_max = percentile(small, 100), b_max = percentile(big, 100);
    std::printf("  1-command session     %6.0f KiB (largest of %zu runs)\n", s_max, small.size());
    std::printf("  %d-command session %6.0f KiB (largest of %zu runs)\n", ctx.cfg.sizes.back(),
                b_max, big.size());
    std::printf("  difference %+.0f KiB  goal <= %.0f KiB: %s\n", b_max - s_max, kMemoryGoalKiB,
                verdict(b_max - s_max <= kMemoryGoalKiB));
}

bool parse(int argc, char **argv, settings &cfg) {
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--quick") {
            cfg.sizes = {100, 1000};
            cfg.throughput_runs = 2;
            cfg.latency_samples = 200;
            cfg.startup_runs = 10;
            cfg.memory_runs = 1;
            cfg.pipeline_commands = 2000;
            cfg.pipeline_runs = 1;
            cfg.delay_commands = 200;
            cfg.delay_runs = 1;
            cfg.pipeline_memory_commands = 5000;
        } else if (a == "--pipeline-only") {
            cfg.pipeline_only = true;
        } else if (a == "--bin" && i + 1 < argc) {
            cfg.bin_dir = argv[++i];
        } else {
            std::fprintf(stderr, "usage: bench_console [--quick] [--pipeline-only] [--bin DIR]\n");
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    context ctx;
    ctx.cfg.bin_dir = own_bin_dir();
    if (!parse(argc, argv, ctx.cfg)) return 2;
    if (!ctx.dir.ok() || !ctx.server.start(ctx.cfg.bin_dir, ctx.dir, kServerSeconds) ||
        !ctx.delayed_server.start(ctx.cfg.bin_dir, ctx.dir, kServerSeconds,
                                  {"--reply-delay-ms", std::to_string(kReplyDelayMs)})) {
        std::fprintf(stderr, "bench_console: cannot start the test server from %s\n",
                     ctx.cfg.bin_dir.c_str());
        return 2;
    }
    ctx.secret = read_secret_line(ctx.dir.file("secret"));
    std::printf("test server on %s; console %s/brennic\n", ctx.server.address().c_str(),
                ctx.cfg.bin_dir.c_str());
    std::fflush(stdout);
    if (!ctx.cfg.pipeline_only) {
        bench_throughput(ctx);
        std::fflush(stdout);
        bench_latency(ctx);
        std::fflush(stdout);
        bench_startup(ctx);
        std::fflush(stdout);
        bench_memory(ctx);
        std::fflush(stdout);
    }
    bench_pipeline(ctx);
    ctx.server.stop();
    ctx.delayed_server.stop();
    return ctx.failed ? 1 : 0;
}
