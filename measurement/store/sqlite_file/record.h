#pragma once

// The values of a row as SQLite's record format stores them, decoded past
// SQLite. Not part of the public surface.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace measurement::sqlite_btree {

// One value as SQLite gives it: a stored NaN reads as NULL, the constants 0
// and 1 as integers, text as the bytes stored (in the file's encoding).
struct RecordValue {
    enum class Type { null, integer, real, text, blob };
    Type type = Type::null;
    std::int64_t integer = 0;
    double real = 0;
    std::string bytes;
};
using Record = std::vector<RecordValue>;

// Decodes a record: its header's size, a serial type for each value, then
// the values, which fill the rest. None when it is malformed (a header that
// runs past the record or past its own size, a reserved serial type,
// values that run past the record or leave bytes over, as SQLite reads
// them whole), *why saying how. No record, or a header of size 0, gives
// no value.
std::optional<Record> decodeRecord(std::string_view payload, std::string* why);

// How a file's text values are stored: its header says so for the whole
// file.
enum class TextEncoding { utf8, utf16le, utf16be };

// A text value stored in that encoding as SQLite hands it to a reader of
// UTF-8: UTF-16 turned into UTF-8 unit by unit, with SQLite's own lenience
// (a last odd byte dropped, a surrogate taken with the unit after it
// whatever that is, one alone at the end written as it stands), so that
// what a reader of the pages gives is what SQLite gives of the same bytes.
// UTF-8 text is given as stored.
std::string utf8Text(std::string_view stored, TextEncoding encoding);

}  // namespace measurement::sqlite_btree
