#pragma once

// What the check before each table's first write into a file keeps: the
// tables each statement writes, the tables checked in the file open now,
// and the frames of its log read so far. Not part of the public surface.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <memory>
#include <optional>

#include "measurement/store/sqlite_file/log_frames.h"
#include "measurement/store/sqlite_file/page_image.h"

struct sqlite3;

namespace measurement {

// The tables a statement changes, as SQLite's authorizer names them while
// it is prepared: those it inserts into, updates or deletes from, and the
// schema's own for one that changes the schema.
struct APMStatementWrites {
    std::vector<std::string> tables;
};

// A table to check: its name, its root page and its declaration.
struct APMAppendTable {
    std::string name;
    std::int64_t root = 0;
    std::string declaration;
};

class APMAppendChecks {
public:
    // SQLite's authorizer for the store's connection: while noting, adds
    // what the statement being prepared changes; always allows.
    static int noteAction(void* context, int action, const char* first, const char* second, const char* database,
                          const char* trigger);
    void beginNoting() { noting_ = true; noted_ = {}; }
    // Keeps what was noted under the statement's text.
    void endNoting(const std::string& text);
    // None for a statement prepared before noting was on, or forgotten.
    const APMStatementWrites* writesOf(const std::string& text) const;

    // Starts afresh for a file the store opened since (another generation).
    void useFile(std::uint64_t generation);
    bool checked(const std::string& table) const;
    void markChecked(const std::string& table);
    // The file as SQLite reads it at the statement's snapshot, read once in
    // each transaction while that stays (no other process commits while it
    // is open, and its own writes go to the log uncommitted), the log's
    // frames read by an earlier transaction's not read again.
    const sqlite_btree::FileImage& image(sqlite3* db, std::uint64_t transaction);
    // The tables of the schema the image holds, by their names as SQLite
    // compares them (see readCommittedTables); none when its pages do not
    // read whole (*why), *failed telling a read the system failed from
    // damage.
    const std::unordered_map<std::string, APMAppendTable>* committedTables(const sqlite_btree::FileImage& image,
                                                                         std::string* why, bool* failed);

private:
    void note(int action, const char* first, const char* database);

    bool noting_ = false;
    APMStatementWrites noted_;
    std::unordered_map<std::string, APMStatementWrites> writes_;
    std::uint64_t generation_ = 0;
    std::unordered_set<std::string> checked_;
    sqlite_btree::CommittedFrames frames_;
    std::uint64_t imageTransaction_ = 0;
    std::optional<sqlite_btree::LogSnapshot> imageSnapshot_;
    std::unique_ptr<sqlite_btree::FileImage> image_;
    bool schemaRead_ = false;
    std::uint32_t schemaCookie_ = 0;
    std::unordered_map<std::string, APMAppendTable> schema_;
};

}  // namespace measurement
