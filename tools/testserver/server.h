// The test server's event loop: one thread, non-blocking sockets, one poll of the socket
// table a pass.
#pragma once

#include "tools/testserver/directory.h"
#include "tools/testserver/options.h"

namespace brennic::testserver {

// Listens on 127.0.0.1, prints "PORT <n>" on standard output (and writes the port file),
// and serves until a signal, --max-seconds or --die-after ends it. Returns the process's
// exit status.
int run_server(const server_options &opts, directory &dir, std::int32_t secret_hash);

// Asks a running run_server to return; safe to call from a signal handler or another thread.
void request_stop();

} // namespace brennic::testserver
