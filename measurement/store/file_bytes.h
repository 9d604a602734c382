#pragma once

// A file read at offsets with plain reads, never past its size. Not part of
// the public surface.

#include <cstddef>
#include <cstdint>
#include <string>

namespace measurement {

class APMFileBytes {
public:
    // Opens the file for reading; one that does not open reads as empty,
    // with openError() saying why.
    explicit APMFileBytes(const std::string& path);
    ~APMFileBytes();
    APMFileBytes(const APMFileBytes&) = delete;
    APMFileBytes& operator=(const APMFileBytes&) = delete;

    // The errno of a failed open (ENOENT for a file that is not there);
    // 0 when it opened.
    int openError() const { return openError_; }
    // Its size when it was opened.
    std::uint64_t size() const { return size_; }
    // Reads `length` bytes from `at`; what lies past the size reads as
    // zeros. False when nothing of it could be read (all of it past the
    // size, or the read failed), with *readError the errno of a failure
    // (0 when the bytes merely lie past the size).
    bool read(std::uint64_t at, std::size_t length, unsigned char* into, int* readError = nullptr) const;

private:
    int fd_ = -1;
    int openError_ = 0;
    std::uint64_t size_ = 0;
};

}  // namespace measurement
