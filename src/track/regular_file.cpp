#include "track/regular_file.hpp"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <utility>

namespace track {

namespace {

constexpr std::intptr_t kClosed = -1;

}  // namespace

RegularFile::RegularFile(RegularFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kClosed)), size_(other.size_) {}

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kClosed);
        size_ = other.size_;
    }
    return *this;
}

RegularFile::~RegularFile() { close(); }

#ifdef _WIN32

std::optional<RegularFile> RegularFile::open(const std::filesystem::path& path) {
    // Opening a pipe or a device would connect to it: look before opening.
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return std::nullopt;
    // Others may go on writing, renaming or deleting the file, as they may
    // while Python reads it.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;  // folders too: they need FILE_FLAG_BACKUP_SEMANTICS
    LARGE_INTEGER size;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
        CloseHandle(file);
        return std::nullopt;
    }
    return RegularFile(reinterpret_cast<std::intptr_t>(file), static_cast<std::uint64_t>(size.QuadPart));
}

void RegularFile::close() {
    if (handle_ != kClosed) CloseHandle(reinterpret_cast<HANDLE>(std::exchange(handle_, kClosed)));
}

long long RegularFile::read_at(std::uint64_t offset, char* buffer, std::size_t n) const {
    std::size_t done = 0;
    while (done < n) {
        // An explicit offset on a handle opened without overlapped I/O: a
        // positioned, synchronous read that other threads' reads leave alone.
        OVERLAPPED at{};
        std::uint64_t where = offset + done;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        DWORD want = static_cast<DWORD>(n - done < 0x40000000 ? n - done : 0x40000000), got = 0;
        if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer + done, want, &got, &at))
            return GetLastError() == ERROR_HANDLE_EOF ? static_cast<long long>(done) : -1;
        if (got == 0) break;
        done += got;
    }
    return static_cast<long long>(done);
}

#else

std::optional<RegularFile> RegularFile::open(const std::filesystem::path& path) {
    // Opening a named pipe would wait for its writer, and closing it again
    // could break that writer: look before opening, and open without waiting
    // in case the name changed hands in between.
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::nullopt;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    return RegularFile(fd, static_cast<std::uint64_t>(info.st_size));
}

void RegularFile::close() {
    if (handle_ != kClosed) ::close(static_cast<int>(std::exchange(handle_, kClosed)));
}

long long RegularFile::read_at(std::uint64_t offset, char* buffer, std::size_t n) const {
    std::size_t done = 0;
    while (done < n) {
        ssize_t got = pread(static_cast<int>(handle_), buffer + done, n - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long long>(done);
}

#endif

}  // namespace track
