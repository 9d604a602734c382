// Tests that a file's bytes read at offsets give what it holds, and zeros past its end, by path and through a connection.
#include <doctest/doctest.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "measurement/store/sqlite_file/file_bytes.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"

using namespace measurement;

TEST_CASE("bytes read past a file's end read as zeros whatever the buffer held, by path and through a connection") {
    constexpr std::size_t kSize = 1500;
    testsupport::TempDir dir;
    const auto path = dir / "bytes.sql";
    const std::string content = testsupport::seededBytes(7, kSize);
    testsupport::writeText(path, content);
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(path.c_str(), &db) == SQLITE_OK);
    struct Case {
        const char* what;
        std::uint64_t at;
        std::size_t length;
        bool anyRead;
    };
    const std::vector<Case> cases = {
        {"within the file", 100, 1024, true},
        {"to its last byte", kSize - 100, 100, true},
        {"a last page cut short", 1024, 1024, true},
        {"past its end", kSize, 512, false},
    };
    for (const bool connection : {false, true}) {
        std::unique_ptr<APMByteSource> bytes;
        if (connection) {
            bytes = std::make_unique<APMConnectionFileBytes>(db, APMConnectionFileBytes::Which::file);
        } else {
            bytes = std::make_unique<APMFileBytes>(path.string());
        }
        REQUIRE(bytes->openError() == 0);
        CHECK(bytes->size() == kSize);
        for (const auto& entry : cases) {
            CAPTURE(connection);
            CAPTURE(entry.what);
            std::string expected(entry.length, '\0');
            if (entry.at < kSize) content.copy(expected.data(), entry.length, entry.at);
            std::vector<unsigned char> read(entry.length, 0xaa);
            int error = -1;
            CHECK(bytes->read(entry.at, entry.length, read.data(), &error) == entry.anyRead);
            CHECK(error == 0);
            CHECK(std::string(read.begin(), read.end()) == expected);
        }
    }
    sqlite3_close(db);
    // What is no regular file is not read, and nothing waits on it.
    REQUIRE(::mkfifo((dir / "fifo.sql").c_str(), 0600) == 0);
    std::filesystem::create_symlink(path, dir / "link.sql");
    struct Name {
        const char* name;
        int error;
    };
    for (const Name& entry : std::vector<Name>{{"none.sql", ENOENT}, {"fifo.sql", EINVAL}, {"link.sql", ELOOP}, {".", EINVAL}}) {
        CAPTURE(entry.name);
        const APMFileBytes bytes((dir / entry.name).string());
        CHECK(bytes.openError() == entry.error);
        CHECK(bytes.size() == 0);
    }
}
