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

}  // namespace measurement::sqlite_btree
