// A regular file read at given offsets, by several threads at once: the one
// place in src/track that calls the operating system.
//
// Read, not mapped: a mapped file that another program truncates kills the
// reading process (SIGBUS) when it touches a page past the new end, while a
// read only comes back short. Reading costs one copy from the page cache, a
// few milliseconds per 100 MB on each core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace track {

class RegularFile {
public:
    // The file, when `path` names a regular file that can be opened for
    // reading; nothing for a folder, a pipe, a device or a missing file.
    static std::optional<RegularFile> open(const std::filesystem::path& path);

    RegularFile(RegularFile&& other) noexcept;
    RegularFile& operator=(RegularFile&& other) noexcept;
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;
    ~RegularFile();

    // The size when it was opened.
    std::uint64_t size() const { return size_; }

    // Reads up to `n` bytes at `offset` into `buffer`: the number read, fewer
    // than `n` only at the end of the file, or -1 on an error.
    long long read_at(std::uint64_t offset, char* buffer, std::size_t n) const;

private:
    RegularFile(std::intptr_t handle, std::uint64_t size) : handle_(handle), size_(size) {}
    void close();

    std::intptr_t handle_;  // a file descriptor, or a Windows HANDLE
    std::uint64_t size_;
};

}  // namespace track
