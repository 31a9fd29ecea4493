#include "net/system.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "base/clock.h"

namespace brennic {
namespace {

// A console or pipe on standard input is looked at this often while input is waited for:
// neither can be waited on for "input ready to read" alone.
constexpr int kInputCheckMs = 5;
// A console's pending input events looked through for the end of a typed line.
constexpr int kConsolePeekMax = 512;
// The log's stream buffer, the size a POSIX C library gives a file's stream.
constexpr std::size_t kLogBufferBytes = 4096;
// Streams the C runtime may have open at once: the held outputs of a full pipeline, the
// standard streams, the log and the secret file.
constexpr int kStreamsMax = 2048;

// The errno of a failed Windows call, for the few causes a file open gives.
int errno_of(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
        return EPIPE;
    default:
        return EIO;
    }
}

bool is_directory(const char *path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

HANDLE handle_of(int fd) {
    if (fd < 0) return INVALID_HANDLE_VALUE;
    const intptr_t h = _get_osfhandle(fd);
    // -2: a standard stream of a program started without one.
    if (h == -1 || h == -2) return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(h);
}

file_identity identity_of(const BY_HANDLE_FILE_INFORMATION &info) {
    return {info.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

bool pipe_has_input(HANDLE h) {
    DWORD waiting = 0;
    // A pipe whose writer has gone fails the peek: its end is there to read.
    if (!PeekNamedPipe(h, nullptr, 0, nullptr, &waiting, nullptr)) return true;
    return waiting > 0;
}

// A console in line mode hands a line over once Enter is pressed: the keys typed before
// it wait among the input events, and a read before then would wait for it.
bool console_has_input(HANDLE h, DWORD mode) {
    INPUT_RECORD events[kConsolePeekMax];
    DWORD count = 0;
    if (!PeekConsoleInputA(h, events, kConsolePeekMax, &count)) return true;
    if (count == kConsolePeekMax) return true; // a line that long is read as it comes
    const bool line_mode = (mode & ENABLE_LINE_INPUT) != 0;
    for (DWORD i = 0; i < count; ++i) {
        if (events[i].EventType != KEY_EVENT || !events[i].Event.KeyEvent.bKeyDown) continue;
        const char c = events[i].Event.KeyEvent.uChar.AsciiChar;
        if (line_mode ? c == '\r' : c != '\0') return true;
    }
    return false;
}

bool streams_raised = false;

} // namespace

int open_for_reading(const char *path) {
    // _open refuses a directory with EACCES; it is told apart here, as POSIX tells it.
    if (is_directory(path)) {
        errno = EISDIR;
        return -1;
    }
    const int fd = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) return -1;
    // A pipe or a console would hold the reader until it delivers; only files are read.
    if (GetFileType(handle_of(fd)) != FILE_TYPE_DISK) {
        _close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

file_kind kind_of(int fd) {
    const HANDLE h = handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return file_kind::unknown;
    }
    switch (GetFileType(h)) {
    case FILE_TYPE_DISK: {
        BY_HANDLE_FILE_INFORMATION info{};
        if (GetFileInformationByHandle(h, &info) &&
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return file_kind::directory;
        return file_kind::regular;
    }
    case FILE_TYPE_PIPE:
        return file_kind::fifo;
    case FILE_TYPE_CHAR:
        return file_kind::device;
    default:
        errno = EBADF;
        return file_kind::unknown;
    }
}

int read_input(int fd, char *buffer, int n) {
    return _read(fd, buffer, static_cast<unsigned>(n < 0 ? 0 : n));
}

int input_ready(int fd, int wait_ms) {
    if (wait_ms < 0) wait_ms = 0;
    if (fd < 0) {
        Sleep(static_cast<DWORD>(wait_ms));
        return 0;
    }
    const HANDLE h = handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) return 1; // the read reports it
    const DWORD type = GetFileType(h);
    DWORD mode = 0;
    const bool console = type == FILE_TYPE_CHAR && GetConsoleMode(h, &mode);
    // A file, or a device such as NUL, reads at once.
    if (type != FILE_TYPE_PIPE && !console) return 1;
    const std::int64_t until = monotonic_ms() + wait_ms;
    for (;;) {
        if (console ? console_has_input(h, mode) : pipe_has_input(h)) return 1;
        const std::int64_t left = until - monotonic_ms();
        if (left <= 0) return 0;
        Sleep(static_cast<DWORD>(left < kInputCheckMs ? left : kInputCheckMs));
    }
}

void close_input(int fd) { _close(fd); }

std::FILE *create_private_file(const char *path) {
    const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                         _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE *f = _fdopen(fd, "wb");
    if (f == nullptr) {
        const int saved = errno;
        _close(fd);
        errno = saved;
    }
    return f;
}

std::FILE *open_private_append(const char *path, log_kind &kind) {
    // The reparse point itself is opened, never what it leads to (a symbolic link or a
    // junction planted under the name), and then refused. Other programs may read, append
    // and delete it: another console that passes the size limit deletes the file.
    const HANDLE h =
        CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        errno = error == ERROR_ACCESS_DENIED && is_directory(path) ? EISDIR : errno_of(error);
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) {
        errno = errno_of(GetLastError());
        CloseHandle(h);
        return nullptr;
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        errno = EPERM;
        return nullptr;
    }
    // Binary, as on POSIX: the lines end in LF and the size limit counts the same bytes.
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE *f = _fdopen(fd, "a");
    if (f == nullptr) {
        const int saved = errno;
        _close(fd);
        errno = saved;
        return nullptr;
    }
    // Fully buffered, as a file stream is on POSIX: lines that need not reach the file at
    // once wait for the next flush.
    std::setvbuf(f, nullptr, _IOFBF, kLogBufferBytes);
    kind = log_kind::regular;
    return f;
}

bool status_of(std::FILE *stream, file_status &status) {
    const HANDLE h = handle_of(_fileno(stream));
    BY_HANDLE_FILE_INFORMATION info{};
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) {
        errno = EBADF;
        return false;
    }
    status.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                                            info.nFileSizeLow);
    status.links = info.nNumberOfLinks;
    status.identity = identity_of(info);
    // A file deleted while open keeps its name until its last handle closes.
    FILE_STANDARD_INFO standard{};
    if (GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard) &&
        standard.DeletePending)
        status.links = 0;
    return true;
}

bool names_file(const char *path, const file_identity &identity) {
    const HANDLE h = CreateFileA(
        path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool same = GetFileInformationByHandle(h, &info) &&
                      identity_of(info).device == identity.device &&
                      identity_of(info).index == identity.index;
    CloseHandle(h);
    return same;
}

// Windows has no FIFOs in its file system: this is a plain write.
write_outcome write_without_waiting(std::FILE *stream, const char *bytes, std::size_t length) {
    const int wrote = _write(_fileno(stream), bytes, static_cast<unsigned>(length));
    return wrote >= 0 ? write_outcome::written : write_outcome::failed;
}

const char *system_directory() {
    static char dir[MAX_PATH + 1];
    const UINT n = GetSystemDirectoryA(dir, sizeof dir);
    if (n == 0 || n >= sizeof dir) dir[0] = '\0';
    return dir;
}

char path_separator() { return '\\'; }

// A standard stream the program was started without is opened on NUL, so that what goes to
// it is dropped rather than failing. Output and error are written in text mode, with lines
// ending in CR LF as the platform's programs end them. Input from a pipe or a file is read in
// binary mode, byte for byte as on POSIX (the console takes a CR before the LF as part of the
// line end), so that a Ctrl-Z byte in it is not taken for its end; input typed at a console
// is read in text mode, where Ctrl-Z at the start of a line ends it, as it ends the input of
// the platform's programs.
bool prepare_standard_streams() {
    const struct {
        std::FILE *stream;
        const char *reopen_mode;
        int translation;
    } streams[] = {
        {stdin, "rb", _O_BINARY},
        {stdout, "w", _O_TEXT},
        {stderr, "w", _O_TEXT},
    };
    for (const auto &s : streams) {
        if (handle_of(_fileno(s.stream)) == INVALID_HANDLE_VALUE &&
            std::freopen("NUL", s.reopen_mode, s.stream) == nullptr)
            return false;
        const bool typed = s.stream == stdin && is_terminal(stdin);
        _setmode(_fileno(s.stream), typed ? _O_TEXT : s.translation);
    }
    return true;
}

bool is_terminal(std::FILE *stream) {
    const HANDLE h = handle_of(_fileno(stream));
    DWORD mode = 0;
    // _isatty would count any character device, NUL among them.
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

int descriptor_of(std::FILE *stream) { return _fileno(stream); }

// The C runtime has no stream over memory: a temporary file stands in, deleted when it is
// closed and kept in memory by the file system cache where it can.
std::FILE *open_memory_output(char **data, std::size_t *size) {
    *data = nullptr;
    *size = 0;
    if (!streams_raised) {
        _setmaxstdio(kStreamsMax);
        streams_raised = true;
    }
    char dir[MAX_PATH + 1];
    char name[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof dir, dir);
    if (n == 0 || n >= sizeof dir || GetTempFileNameA(dir, "brn", 0, name) == 0) {
        errno = errno_of(GetLastError());
        return nullptr;
    }
    const HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = errno_of(GetLastError());
        DeleteFileA(name);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), 0); // binary
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE *f = _fdopen(fd, "w+b");
    if (f == nullptr) _close(fd);
    return f;
}

void close_memory_output(std::FILE *stream, char **data, std::size_t *size) {
    *data = nullptr;
    *size = 0;
    if (std::fflush(stream) == 0 && _fseeki64(stream, 0, SEEK_END) == 0) {
        const __int64 end = _ftelli64(stream);
        if (end > 0 && _fseeki64(stream, 0, SEEK_SET) == 0) {
            const auto length = static_cast<std::size_t>(end);
            auto *bytes = static_cast<char *>(std::malloc(length));
            if (bytes != nullptr && std::fread(bytes, 1, length, stream) == length) {
                *data = bytes;
                *size = length;
            } else {
                std::free(bytes);
            }
        }
    }
    std::fclose(stream);
}

std::tm *local_time(const std::time_t *t, std::tm *out) {
    return localtime_s(out, t) == 0 ? out : nullptr;
}

} // namespace brennic
