// brennic-testserver: a directory server for tests and demonstrations. See README.md.
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>

#include "net/server_calls.h"
#include "net/tcp.h"
#include "tools/testserver/directory.h"
#include "tools/testserver/options.h"
#include "tools/testserver/server.h"
#include "tools/testserver/stream_cipher.h"

namespace {

// The secret is the first line of the file up to its first CR, LF or NUL, at most 399
// characters, as the client reads it. A missing file gives the empty secret.
std::string read_secret_line(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    line = line.substr(0, line.find_first_of(std::string_view("\r\n\0", 3)));
    if (line.size() > 399) line.resize(399);
    return line;
}

} // namespace

int main(int argc, char **argv) {
    using namespace brennic::testserver;
    server_options opts;
    bool help = false;
    std::string error;
    if (!parse_options(argc, argv, opts, help, error)) {
        std::fprintf(stderr, "brennic-testserver: %s\n%s", error.c_str(), usage_text());
        return 2;
    }
    if (help) {
        std::fputs(usage_text(), stdout);
        return 0;
    }
    directory dir;
    if (!opts.users_file.empty() && !dir.load_file(opts.users_file, error)) {
        std::fprintf(stderr, "brennic-testserver: %s\n", error.c_str());
        return 2;
    }
    std::string secret =
        opts.secret_file.empty() ? std::string() : read_secret_line(opts.secret_file);

    brennic::watch_stop_requests(request_stop);
    brennic::winsock_start();
    return run_server(opts, dir, text_hash(secret));
}
