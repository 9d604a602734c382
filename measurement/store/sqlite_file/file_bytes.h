#pragma once

// Bytes of a file read at offsets, never past its size. Not part of the
// public surface.

#include <cstddef>
#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_file;

namespace measurement {

// What is read past the size reads as zeros.
class APMByteSource {
public:
    virtual ~APMByteSource() = default;
    // The errno of a failed open (ENOENT for a file that is not there); 0
    // when the bytes can be read.
    virtual int openError() const = 0;
    // Their size when they were opened.
    virtual std::uint64_t size() const = 0;
    // Reads `length` bytes from `at`. False when nothing of them could be
    // read (all of them past the size, or the read failed), with *readError
    // the errno of a failure (0 when the bytes merely lie past the size).
    virtual bool read(std::uint64_t at, std::size_t length, unsigned char* into, int* readError = nullptr) const = 0;
};

// A file opened by its path for plain reads. Closing it ends every POSIX
// lock this process holds on the file, whoever took them (SQLite's among
// them): never for a file a connection of this process has open (see
// APMConnectionFileBytes).
class APMFileBytes final : public APMByteSource {
public:
    explicit APMFileBytes(const std::string& path);
    ~APMFileBytes() override;
    APMFileBytes(const APMFileBytes&) = delete;
    APMFileBytes& operator=(const APMFileBytes&) = delete;

    int openError() const override { return openError_; }
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t at, std::size_t length, unsigned char* into, int* readError = nullptr) const override;

private:
    int fd_ = -1;
    int openError_ = 0;
    std::uint64_t size_ = 0;
};

// A file as a connection of this process has it open, read through
// SQLite's own handle of it: no descriptor of the file is opened or closed,
// so the locks SQLite holds on it stay. Absent (ENOENT) when the connection
// has no such file open.
class APMConnectionFileBytes final : public APMByteSource {
public:
    // The connection's main file, or the log (or journal) it has open.
    enum class Which { file, log };
    APMConnectionFileBytes(sqlite3* db, Which which);

    int openError() const override { return openError_; }
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t at, std::size_t length, unsigned char* into, int* readError = nullptr) const override;

private:
    sqlite3_file* file_ = nullptr;
    int openError_ = 0;
    std::uint64_t size_ = 0;
};

}  // namespace measurement
