// The e2e runner's Windows part. A child is started with CreateProcessW and inherits exactly
// its three standard handles (a handle list, so no other inheritable handle of this process
// leaks into it). Each pipe is a named pipe of its own whose end on this side is overlapped
// and never inheritable: one thread feeds standard input and drains standard output and error
// together without blocking on any of them, and gives up at the time limit, where
// TerminateProcess ends the child. Temporary directories come from GetTempPathW.
// winsock2.h goes ahead of windows.h.
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cwchar>

#include "tests/e2e/child_process_platform.h"

namespace brennic::e2e {

namespace {

constexpr DWORD kPipeBytes = 65536;
constexpr DWORD kReapMs = 3000; // for a child to exit once its output has ended
// The exit code given to a child ended here. Codes with the two top bits set are error
// statuses (an exception, or this), which read back as "did not exit normally".
constexpr UINT kKilledExitCode = 0xC000013A;

long long now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int exit_code_of(DWORD code) { return code >= 0xC0000000u ? -1 : static_cast<int>(code); }

// The program's narrow texts (paths, arguments) are in the ANSI code page, as the C library
// and a child's argv have them.
std::wstring wide(const std::string &text) {
    if (text.empty()) return {};
    const int n =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string narrow(const std::wstring &text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

// Appends arg so that the C runtime's command-line parser gives it back unchanged: quoted
// when empty or holding white space or a quote; inside the quotes, backslashes count only
// ahead of a quote (doubled there, plus one to escape the quote) and at the end.
void append_quoted(std::wstring &line, const std::wstring &arg) {
    if (!line.empty()) line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    for (std::size_t i = 0;; ++i) {
        std::size_t backslashes = 0;
        while (i < arg.size() && arg[i] == L'\\') {
            ++backslashes;
            ++i;
        }
        if (i == arg.size()) {
            line.append(backslashes * 2, L'\\');
            break;
        }
        if (arg[i] == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        line += arg[i];
    }
    line += L'"';
}

// Closes a handle when it goes out of scope.
class owned_handle {
  public:
    explicit owned_handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~owned_handle() { reset(); }
    owned_handle(const owned_handle &) = delete;
    owned_handle &operator=(const owned_handle &) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE release() {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }
    void reset(HANDLE h = INVALID_HANDLE_VALUE) {
        if (valid()) CloseHandle(h_);
        h_ = h;
    }

  private:
    HANDLE h_;
};

std::atomic<unsigned> pipe_serial{0};

// A pipe to a child: `ours` is overlapped and not inheritable, `theirs` is inheritable and
// synchronous, with the access rights of an anonymous pipe's end. child_reads: the child
// reads from it (its standard input); otherwise it writes.
bool make_pipe(bool child_reads, owned_handle &ours, owned_handle &theirs) {
    wchar_t name[80];
    std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\pipe\\brennic-e2e-%lu-%u",
                  GetCurrentProcessId(), pipe_serial++);
    ours.reset(CreateNamedPipeW(name,
                                (child_reads ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND) |
                                    FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                    PIPE_REJECT_REMOTE_CLIENTS,
                                1, kPipeBytes, kPipeBytes, 0, nullptr));
    if (!ours.valid()) return false;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    theirs.reset(CreateFileW(name,
                             child_reads ? GENERIC_READ | FILE_WRITE_ATTRIBUTES
                                         : GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                             0, &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return theirs.valid();
}

// The null device, inheritable: the standard input of a child that reads nothing.
HANDLE inheritable_null() {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    return CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inheritable, OPEN_EXISTING, 0, nullptr);
}

// Starts argv in cwd (empty: ours) with the given standard handles, which must be
// inheritable; the child inherits those and nothing else. The process handle, or nullptr.
HANDLE spawn(const std::vector<std::string> &argv, const std::string &cwd, HANDLE in, HANDLE out,
             HANDLE err) {
    std::wstring line;
    for (const std::string &a : argv)
        append_quoted(line, wide(a));
    HANDLE inherit[3];
    DWORD count = 0;
    for (HANDLE h : {in, out, err}) {
        bool seen = false;
        for (DWORD k = 0; k < count; ++k)
            seen = seen || inherit[k] == h;
        if (!seen) inherit[count++] = h;
    }
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> storage(size);
    auto *attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return nullptr;
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = in;
    si.StartupInfo.hStdOutput = out;
    si.StartupInfo.hStdError = err;
    si.lpAttributeList = attributes;
    PROCESS_INFORMATION pi{};
    const std::wstring dir = wide(cwd);
    const BOOL started =
        UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit,
                                  count * sizeof(HANDLE), nullptr, nullptr) &&
        CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                       dir.empty() ? nullptr : dir.c_str(), &si.StartupInfo, &pi);
    DeleteProcThreadAttributeList(attributes);
    if (!started) return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// Our end of one pipe with at most one overlapped read or write in flight.
class async_end {
  public:
    explicit async_end(HANDLE end)
        : end_(end), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~async_end() { close(); }
    async_end(const async_end &) = delete;
    async_end &operator=(const async_end &) = delete;

    bool open() const { return end_.valid(); }
    bool busy() const { return busy_; }
    bool done() const { return busy_ && HasOverlappedIoCompleted(&ov_); }
    HANDLE event() const { return event_.get(); }

    // Starts a read into, or a write from, bytes; false when the pipe is already broken.
    bool start_read(char *bytes, DWORD size) {
        arm();
        return started(ReadFile(end_.get(), bytes, size, nullptr, &ov_));
    }
    bool start_write(const char *bytes, DWORD size) {
        arm();
        return started(WriteFile(end_.get(), bytes, size, nullptr, &ov_));
    }
    // The bytes the finished operation moved, or -1 when it failed (the other end closed).
    long finish() {
        DWORD n = 0;
        const BOOL ok = GetOverlappedResult(end_.get(), &ov_, &n, TRUE);
        busy_ = false;
        return ok ? static_cast<long>(n) : -1;
    }
    // Cancels what is in flight, waits for the cancellation (the buffer is then free again)
    // and closes the end.
    void close() {
        if (busy_) {
            CancelIoEx(end_.get(), &ov_);
            finish();
        }
        end_.reset();
    }

  private:
    void arm() {
        ov_ = OVERLAPPED{};
        ov_.hEvent = event_.get();
        ResetEvent(event_.get());
    }
    bool started(BOOL ok) {
        busy_ = ok || GetLastError() == ERROR_IO_PENDING;
        return busy_;
    }

    owned_handle end_;
    owned_handle event_;
    OVERLAPPED ov_{};
    bool busy_ = false;
};

} // namespace

namespace platform {

const bool kTextLinesEndInCrLf = true;

std::string make_temp_dir() {
    static std::atomic<unsigned> serial{0};
    wchar_t base[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, base);
    if (n == 0 || n > MAX_PATH) return {};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring path =
            std::wstring(base, n) + L"brennic-e2e-" + std::to_wstring(GetCurrentProcessId()) +
            L"-" + std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(serial++);
        if (CreateDirectoryW(path.c_str(), nullptr)) return narrow(path);
        if (GetLastError() != ERROR_ALREADY_EXISTS) return {};
    }
    return {};
}

run_result run_raw(const std::vector<std::string> &argv, const std::string &input,
                   const std::string &cwd, int timeout_ms) {
    run_result res;
    owned_handle in_ours, in_child, out_ours, out_child, err_ours, err_child;
    if (!make_pipe(true, in_ours, in_child) || !make_pipe(false, out_ours, out_child) ||
        !make_pipe(false, err_ours, err_child)) {
        return res;
    }
    owned_handle proc(spawn(argv, cwd, in_child.get(), out_child.get(), err_child.get()));
    // Only the child holds its ends now: their closing is the end of its output.
    in_child.reset();
    out_child.reset();
    err_child.reset();
    if (!proc.valid()) return res;

    async_end in(in_ours.release()), out(out_ours.release()), err(err_ours.release());
    std::string out_buf(kPipeBytes, '\0'), err_buf(kPipeBytes, '\0');
    std::size_t written = 0;
    auto write_more = [&] {
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(input.size() - written, kPipeBytes));
        if (chunk == 0 || !in.start_write(input.data() + written, chunk)) in.close();
    };
    write_more();
    if (!out.start_read(out_buf.data(), kPipeBytes)) out.close();
    if (!err.start_read(err_buf.data(), kPipeBytes)) err.close();

    const long long end = now_ms() + timeout_ms;
    while (out.open() || err.open()) {
        const long long left = end - now_ms();
        if (left <= 0) {
            res.timed_out = true;
            break;
        }
        HANDLE events[3];
        DWORD count = 0;
        for (async_end *e : {&in, &out, &err}) {
            if (e->busy()) events[count++] = e->event();
        }
        if (WaitForMultipleObjects(count, events, FALSE, static_cast<DWORD>(left)) == WAIT_FAILED) {
            break;
        }
        if (in.done()) {
            const long n = in.finish();
            written = n < 0 ? input.size() : written + static_cast<std::size_t>(n);
            write_more();
        }
        for (int k = 0; k < 2; ++k) {
            async_end &e = k == 0 ? out : err;
            std::string &buf = k == 0 ? out_buf : err_buf;
            if (!e.done()) continue;
            const long n = e.finish();
            if (n > 0) (k == 0 ? res.out : res.err).append(buf.data(), static_cast<std::size_t>(n));
            if (n < 0 || !e.start_read(buf.data(), kPipeBytes)) e.close();
        }
    }
    in.close();
    out.close();
    err.close();
    if (res.timed_out || WaitForSingleObject(proc.get(), kReapMs) != WAIT_OBJECT_0) {
        res.timed_out = true;
        TerminateProcess(proc.get(), kKilledExitCode);
        WaitForSingleObject(proc.get(), kReapMs);
        return res;
    }
    DWORD code = 0;
    if (GetExitCodeProcess(proc.get(), &code)) res.exit_status = exit_code_of(code);
    return res;
}

bool start_with_output(const std::vector<std::string> &argv, process_ref &proc, pipe_ref &out) {
    owned_handle ours, theirs;
    if (!make_pipe(false, ours, theirs)) return false;
    owned_handle in(inheritable_null());
    // Standard error goes where ours goes: a copy of our handle the child may inherit.
    owned_handle err;
    HANDLE copy = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(),
                        &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        err.reset(copy);
    } else {
        err.reset(inheritable_null());
    }
    HANDLE started = spawn(argv, {}, in.get(), theirs.get(), err.get());
    if (started == nullptr) return false;
    proc = reinterpret_cast<process_ref>(started);
    out = reinterpret_cast<pipe_ref>(ours.release());
    return true;
}

long read_within(pipe_ref out, char *buffer, std::size_t size, int ms) {
    const HANDLE end = reinterpret_cast<HANDLE>(out);
    owned_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, kPipeBytes));
    if (!ReadFile(end, buffer, want, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) return 0;
    const bool timed_out =
        WaitForSingleObject(event.get(), static_cast<DWORD>(ms)) != WAIT_OBJECT_0;
    if (timed_out) CancelIoEx(end, &ov);
    // After a cancellation the read may still have completed with bytes: they count.
    DWORD n = 0;
    if (GetOverlappedResult(end, &ov, &n, TRUE)) return static_cast<long>(n);
    return GetLastError() == ERROR_OPERATION_ABORTED ? -1 : 0;
}

void close_pipe(pipe_ref &end) {
    if (end == kNone) return;
    CloseHandle(reinterpret_cast<HANDLE>(end));
    end = kNone;
}

bool has_exited(process_ref proc, int &status) {
    const HANDLE h = reinterpret_cast<HANDLE>(proc);
    if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT) return false;
    DWORD code = 0;
    if (GetExitCodeProcess(h, &code)) status = exit_code_of(code);
    CloseHandle(h);
    return true;
}

int stop_process(process_ref proc) {
    const HANDLE h = reinterpret_cast<HANDLE>(proc);
    int status = -1;
    DWORD code = 0;
    if (WaitForSingleObject(h, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(h, &code)) {
        status = exit_code_of(code);
    } else {
        TerminateProcess(h, kKilledExitCode);
        WaitForSingleObject(h, kReapMs);
    }
    CloseHandle(h);
    return status;
}

} // namespace platform

int closed_port() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) return 1;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return 1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    int port = 1;
    int len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    closesocket(s);
    return port;
}

} // namespace brennic::e2e
