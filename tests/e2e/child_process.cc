// The part of the e2e helpers that is the same on every platform: files, transcripts, the
// text-mode line ends, and reading the test server's port. Processes and pipes are left to
// child_process_posix.cc or child_process_win.cc.
#include "tests/e2e/child_process.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/e2e/child_process_platform.h"

#ifndef BRENNIC_TESTSERVER_PATH
#error "BRENNIC_TESTSERVER_PATH must name the test server binary"
#endif

namespace brennic::e2e {

namespace {

constexpr int kServerStartMs = 5000; // for the server's "PORT <n>" line

long long now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Text as written in text mode read back with LF line ends: CR LF becomes LF where the
// platform's text mode writes CR LF; a CR elsewhere stays.
std::string text_lines(std::string text) {
    if (!platform::kTextLinesEndInCrLf) return text;
    std::size_t to = 0;
    for (std::size_t from = 0; from < text.size(); ++from) {
        if (text[from] == '\r' && from + 1 < text.size() && text[from + 1] == '\n') continue;
        text[to++] = text[from];
    }
    text.resize(to);
    return text;
}

} // namespace

temp_dir::temp_dir() : path_(platform::make_temp_dir()) {}

temp_dir::~temp_dir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string temp_dir::write(const std::string &name, const std::string &text) const {
    std::string p = file(name);
    std::ofstream out(p, std::ios::binary);
    out << text;
    return p;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string read_text(const std::string &path) { return text_lines(read_file(path)); }

std::vector<std::string> transcript_requests(const std::string &path) {
    std::vector<std::string> out;
    std::istringstream in(read_text(path));
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t at = line.find(" request ");
        if (at != std::string::npos) out.push_back(line.substr(at + 9));
    }
    return out;
}

run_result run_program(const std::vector<std::string> &argv, const std::string &input,
                       const std::string &cwd, int timeout_ms) {
    run_result r = platform::run_raw(argv, input, cwd, timeout_ms);
    r.raw_out = r.out;
    r.out = text_lines(std::move(r.out));
    r.err = text_lines(std::move(r.err));
    return r;
}

bool server_process::start(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {BRENNIC_TESTSERVER_PATH, "--port", "0", "--max-seconds", "60"};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!platform::start_with_output(argv, proc_, out_)) return false;
    // The server's first line is "PORT <n>".
    std::string got;
    const long long end = now_ms() + kServerStartMs;
    while (got.find('\n') == std::string::npos) {
        const long long left = end - now_ms();
        if (left <= 0) return false;
        char c[128];
        const long n = platform::read_within(out_, c, sizeof c, static_cast<int>(left));
        if (n == 0) return false;
        if (n > 0) got.append(c, static_cast<std::size_t>(n));
    }
    if (got.rfind("PORT ", 0) != 0) return false;
    port_ = std::atoi(got.c_str() + 5);
    return port_ > 0;
}

bool server_process::running() {
    if (proc_ == kNone) return false;
    if (!platform::has_exited(proc_, status_)) return true;
    proc_ = kNone;
    return false;
}

int server_process::stop() {
    if (proc_ != kNone) {
        status_ = platform::stop_process(proc_);
        proc_ = kNone;
    }
    platform::close_pipe(out_);
    return status_;
}

server_process::~server_process() { stop(); }

} // namespace brennic::e2e
