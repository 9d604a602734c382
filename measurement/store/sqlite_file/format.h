#pragma once

// SQLite's file format as the readers past SQLite take it: the headers of
// the file and of its write-ahead log, b-tree pages, and the integers they
// are written with, each named once. Not part of the public surface.

#include <cstddef>
#include <cstdint>

namespace measurement::sqlite_format {

// Its fields are big-endian integers of two bytes (the file's page size, a
// page's cell count, cell area and cell pointers) or of four (page numbers,
// the log's fields).
inline constexpr std::size_t kShortSize = 2;
inline constexpr std::size_t kWordSize = 4;

// The file's header: 100 bytes at the start of page 1, whose b-tree header
// follows it; the page size is two bytes of it, 1 standing for 65536.
inline constexpr std::size_t kFileHeaderSize = 100;
inline constexpr std::size_t kPageSizeAt = 16;
inline constexpr std::uint32_t kLargestPageSizeMark = 1;
inline constexpr std::uint32_t kSmallestPageSize = 512;
inline constexpr std::uint32_t kLargestPageSize = 65536;

// The log beside the file: a header with its page size, then frames of a
// header (the page's number first) and a page image each.
inline constexpr const char* kLogSuffix = "-wal";
inline constexpr std::size_t kLogHeaderSize = 32;
inline constexpr std::size_t kLogPageSizeAt = 8;
inline constexpr std::size_t kFrameHeaderSize = 24;

// A b-tree page: its type, then (two bytes each) its cell count and where
// its cell area begins (0 standing for 65536), and for an interior page
// the right child; then the cells' two-byte pointers. SQLite takes no page
// to hold more cells than a pointer and a smallest cell of 4 bytes each
// leave room for.
inline constexpr unsigned char kInteriorTablePage = 0x05;
inline constexpr unsigned char kLeafTablePage = 0x0d;
inline constexpr std::size_t kCellCountAt = 3;
inline constexpr std::size_t kCellAreaAt = 5;
inline constexpr std::size_t kLargestCellArea = 65536;
inline constexpr std::size_t kRightChildAt = 8;
inline constexpr std::size_t kLeafHeaderSize = 8;
inline constexpr std::size_t kInteriorHeaderSize = 12;
inline constexpr std::size_t kCellPointerSize = kShortSize;
inline constexpr std::size_t kPageNumberSize = kWordSize;
inline constexpr std::size_t kSmallestCellWithPointer = 6;

// A variable-length integer: 7 bits a byte while the high bit is set, the
// ninth byte's 8 bits whole.
inline constexpr unsigned char kMoreBit = 0x80;
inline constexpr unsigned char kSevenBits = 0x7f;
inline constexpr std::size_t kVarintBytes = 9;

// An unsigned big-endian integer of `width` bytes (at most kWordSize).
inline std::uint32_t bigEndian(const unsigned char* bytes, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | bytes[i];
    return value;
}

inline bool validPageSize(std::uint32_t size) {
    return size >= kSmallestPageSize && size <= kLargestPageSize && (size & (size - 1)) == 0;
}

// The most cells SQLite takes one page of this size to hold: a page that
// says it holds more is damaged to it.
inline std::size_t maxCellsPerPage(std::size_t pageSize) {
    return pageSize < kLeafHeaderSize ? 0 : (pageSize - kLeafHeaderSize) / kSmallestCellWithPointer;
}

// Reads the variable-length integer at bytes[*at], moving *at past it;
// false when it runs past `end`.
inline bool readVarint(const unsigned char* bytes, std::size_t end, std::size_t* at, std::uint64_t* value) {
    *value = 0;
    for (std::size_t i = 0; i < kVarintBytes; ++i) {
        if (*at >= end) return false;
        const unsigned char byte = bytes[(*at)++];
        if (i + 1 == kVarintBytes) {
            *value = (*value << 8) | byte;
            return true;
        }
        *value = (*value << 7) | (byte & kSevenBits);
        if ((byte & kMoreBit) == 0) return true;
    }
    return true;
}

}  // namespace measurement::sqlite_format
