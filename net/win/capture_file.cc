#include "net/capture_file.h"

// The socket headers come first: after windows.h they would clash with its older ones.
#include "net/server_calls.h"

#include <windows.h>

#include <cstdint>

namespace brennic {
namespace {

// One write moves at most this many bytes: the platform counts them in a DWORD.
constexpr std::size_t kLargestWrite = 1u << 30;

// A disk file that is neither a directory nor a reparse point.
bool is_plain_file(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info))
        return false;
    return (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

} // namespace

const char *append_capture(const char *path, const char *bytes, std::size_t length) {
    // FILE_APPEND_DATA alone: every write goes to the end. The reparse point flag opens a
    // link as itself, so that it is seen, and refused, instead of followed.
    const HANDLE file =
        CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return error_text(static_cast<std::int32_t>(GetLastError()));
    if (!is_plain_file(file)) {
        CloseHandle(file);
        return error_text(ERROR_ACCESS_DENIED);
    }
    while (length > 0) {
        DWORD written = 0;
        const DWORD wanted = static_cast<DWORD>(length < kLargestWrite ? length : kLargestWrite);
        if (!WriteFile(file, bytes, wanted, &written, nullptr) || written == 0) break;
        bytes += written;
        length -= written;
    }
    CloseHandle(file);
    return nullptr;
}

} // namespace brennic
