#pragma once

// What the tables of a file the store gives up hold, each row taken from the
// cell that holds it under its owner's declared columns. Not part of the
// public surface.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/store/sqlite_page_rows.h"
#include "measurement/store/sqlite_store.h"

namespace measurement {

// Reads the file a connection has open from its pages: the file's bytes and
// its log's committed frames, as SQLite's checksums of them accept them, up
// to the snapshot of the connection's read transaction (and past a damaged
// frame, see sqlite_btree::CommittedFrames), read through the connection's
// own handles (sqlite_btree::FileImage), never through the log's index; the
// schema's objects too, from page 1. SQLite is
// asked only how each table's declaration names its columns (and, where it
// cannot load the file's schema, a connection of the reader's own that loads
// what of it parses), and reads the rows of a table without row IDs, whose
// tree holds no table cells.
class TableReader {
public:
    TableReader(sqlite3* db, const APMDeclaredTables& declared);
    ~TableReader();
    TableReader(const TableReader&) = delete;
    TableReader& operator=(const TableReader&) = delete;

    // Why no page of the file reads, and whether that is the system's
    // refusal rather than what its bytes say; none when pages read. A read
    // of a page that the system failed (an I/O error) since the reader was
    // made is such a refusal too: every read after it fails, and nothing it
    // did not read is named as damage.
    const std::optional<std::string>& unreadable() const;
    bool readFailed() const;
    // Where the file's header says otherwise than the file holds (a page
    // count past its pages), a stretch of the schema's table that says so;
    // it is among schemaSkipped() too.
    std::optional<APMUnreadableStretch> headerDamage() const;
    // Where the file's log does not read whole (a damaged frame read past,
    // pages of another size), a stretch of the schema's table that says
    // so: the pages are read all the same, as SQLite would not read them.
    std::optional<APMUnreadableStretch> logDamage() const;
    // Why SQLite could not load the file's schema whole; none when it could.
    const std::optional<std::string>& schemaDamage() const { return schemaDamage_; }
    // The tables the schema holds, by the names it stores them under, and
    // what of the schema did not read.
    std::vector<std::string> tables() const;
    const std::vector<APMUnreadableStretch>& schemaSkipped() const { return schemaSkipped_; }

    // The columns a table's rows are given under. A table its owner declares
    // gives the declared columns, each found in the table by name, else by
    // place (unless the column there has a declared name, or is the row ID's);
    // a declared column the table lacks is none, its default. Where the
    // table's declaration does not parse, or damage merged or split its
    // columns (another count, and at some place a name the owner does not
    // declare), the declared columns are taken by place (byDeclaration). The
    // columns a newer layout of the owner's adds after the declared ones go
    // along, unchecked; any other column is left behind. A table not
    // declared gives its own columns. None for a table the file does not
    // hold, or one that could not be examined for a reason other than
    // damage (*error filled).
    struct Shape {
        std::vector<sqlite_page_rows::Column> columns;
        bool byDeclaration = false;
    };
    std::optional<Shape> shapeOf(const std::string& table, std::string* error);

    // Hands `visit` every row of the table (sqlite_page_rows::readRows) under
    // the shape's columns; what did not read goes to *skipped. False when
    // the table could not be read for a reason other than damage (*error
    // filled), or `visit` ended the read.
    bool read(const std::string& table, const Shape& shape,
              const std::function<bool(const sqlite_page_rows::Row&)>& visit,
              std::vector<APMUnreadableStretch>* skipped, std::string* error);

    // Pages and cells read so far.
    const sqlite_page_rows::Work& work() const { return work_; }

private:
    struct Table;
    std::optional<Table> tableOf(const std::string& name);
    bool loadView(std::string* error);
    bool readWithoutRowIDs(const Table& table, const Shape& shape,
                           const std::function<bool(const sqlite_page_rows::Row&)>& visit,
                           std::vector<APMUnreadableStretch>* skipped, std::string* error);

    sqlite3* db_;
    // Whether the reader began the read transaction it holds on db_.
    bool began_ = false;
    // Where SQLite cannot load the schema through db_: the reader's own.
    sqlite3* own_ = nullptr;
    bool viewLoaded_ = false;
    const APMDeclaredTables declared_;
    std::unique_ptr<sqlite_btree::FileImage> image_;
    std::vector<sqlite_page_rows::SchemaEntry> schema_;
    std::vector<APMUnreadableStretch> schemaSkipped_;
    std::optional<std::string> schemaDamage_;
    // The first read of a page the system failed.
    std::optional<std::string> failed_;
    sqlite_page_rows::Work work_;
};

}  // namespace measurement
