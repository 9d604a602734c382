// The bundles a service took are sent once, whatever damage their delete meets in the file or its log.
#include <doctest/doctest.h>
#include <sqlite3.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "measurement/store/sqlite_store.h"
#include "measurement/upload/uploader_test_support.h"
#include "testsupport/child_process.h"
#include "testsupport/scoped_launch_options.h"

using namespace measurement;
using namespace upload_test;

namespace {

namespace fs = std::filesystem;

constexpr double kT0 = 1700000000.0;
// Fewer than a batch holds, on more than one page of the queue's tree.
constexpr int kBundles = 40;

// The log: a header, then frames of a header and a page image each; the
// running checksum of a frame in its header's last eight bytes. Its index:
// two copies of a header that keeps the last frame's checksum, each with a
// checksum of its own first 40 bytes, in the machine's byte order.
constexpr std::size_t kLogHeader = 32;
constexpr std::size_t kFrameHeader = 24;
constexpr std::size_t kFrameChecksumAt = 16;
constexpr std::uint32_t kBigEndianMagic = 0x377f0683;
constexpr std::size_t kIndexHeader = 48;
constexpr std::size_t kIndexFrameChecksumAt = 24;
constexpr std::size_t kIndexChecksummed = 40;
// A page's first free block, bytes 1 and 2 of its header: past the page's
// usable bytes, which SQLite refuses before it changes the page. Its cell
// count, and the pointers to its cells after the header, in key order.
constexpr std::size_t kFreeBlockAt = 1;
constexpr std::size_t kCellCountAt = 3;
constexpr std::size_t kLeafHeader = 8;

// What is written over the queue's first leaf: a free block past the page's
// end, in the file or in the log, which the delete meets; or its first and
// last cell pointers swapped, which SQLite's look-ups by row ID pass by
// without a word, so that the delete finds fewer rows than it was given,
// while a carry reads every cell.
enum class Damage { freeBlockInFile, freeBlockInLog, keysOutOfOrder };

std::string fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeBytes(const fs::path& path, std::size_t at, const std::string& bytes) {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(at));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::uint32_t word(const std::string& bytes, std::size_t at, bool bigEndian) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(bigEndian ? i : 3 - i)]);
        value = (value << 8) | byte;
    }
    return value;
}

void putWord(std::string& bytes, std::size_t at, std::uint32_t value, bool bigEndian) {
    for (int i = 0; i < 4; ++i) {
        const int shift = 8 * (bigEndian ? 3 - i : i);
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> shift) & 0xff);
    }
}

struct Checksum {
    std::uint32_t first = 0, second = 0;
    void add(const std::string& bytes, std::size_t from, std::size_t to, bool bigEndian) {
        for (std::size_t at = from; at < to; at += 8) {
            first += word(bytes, at, bigEndian) + second;
            second += word(bytes, at + 4, bigEndian) + first;
        }
    }
};

std::int64_t integerIn(const fs::path& path, const std::string& query) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(path.string().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr) == SQLITE_OK);
    REQUIRE(sqlite3_step(statement) == SQLITE_ROW);
    const std::int64_t value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
}

// Damages the newest image of the queue's first leaf: in the file (its log
// emptied first), after which another program commits, so that the
// engine's connection reads the page afresh; or in the log, whose checksums
// from that frame on, and its index's, are made anew, as a writer that wrote
// the page so would have.
void damageQueueLeaf(UploadFixture& fixture, Damage damage) {
    const fs::path path = fixture.database->databasePath();
    const auto page = static_cast<std::size_t>(integerIn(
        path, "SELECT pageno FROM dbstat WHERE name = 'queue' AND pagetype = 'leaf' ORDER BY path LIMIT 1"));
    const auto pageSize = static_cast<std::size_t>(integerIn(path, "PRAGMA page_size"));
    const std::string pastTheEnd = {static_cast<char>((pageSize - 2) >> 8), static_cast<char>((pageSize - 2) & 0xff)};
    const std::size_t start = (page - 1) * pageSize;
    if (damage == Damage::keysOutOfOrder) {
        const std::string leaf = fileBytes(path).substr(start, pageSize);
        const std::size_t cells = (static_cast<unsigned char>(leaf[kCellCountAt]) << 8) |
                                  static_cast<unsigned char>(leaf[kCellCountAt + 1]);
        REQUIRE(cells > 2);
        const std::size_t last = kLeafHeader + 2 * (cells - 1);
        writeBytes(path, start + kLeafHeader, leaf.substr(last, 2));
        writeBytes(path, start + last, leaf.substr(kLeafHeader, 2));
    }
    if (damage != Damage::freeBlockInLog) {
        if (damage == Damage::freeBlockInFile) writeBytes(path, start + kFreeBlockAt, pastTheEnd);
        const auto version = integerIn(path, "PRAGMA user_version");
        fixture.executeSQL("PRAGMA user_version = " + std::to_string(version));
        return;
    }
    const fs::path logPath = path.string() + "-wal";
    std::string log = fileBytes(logPath);
    const bool bigEndian = word(log, 0, true) == kBigEndianMagic;
    const std::size_t frameSize = kFrameHeader + pageSize;
    std::optional<std::size_t> newest;
    for (std::size_t frame = kLogHeader; frame + frameSize <= log.size(); frame += frameSize) {
        if (word(log, frame, true) == page) newest = frame;
    }
    REQUIRE(newest);
    log.replace(*newest + kFrameHeader + kFreeBlockAt, pastTheEnd.size(), pastTheEnd);
    Checksum sum;
    sum.add(log, 0, kFrameHeader, bigEndian);
    for (std::size_t frame = kLogHeader; frame + frameSize <= log.size(); frame += frameSize) {
        sum.add(log, frame, frame + 8, bigEndian);
        sum.add(log, frame + kFrameHeader, frame + frameSize, bigEndian);
        putWord(log, frame + kFrameChecksumAt, sum.first, true);
        putWord(log, frame + kFrameChecksumAt + 4, sum.second, true);
    }
    writeBytes(logPath, 0, log);
    const fs::path indexPath = path.string() + "-shm";
    std::string index = fileBytes(indexPath).substr(0, 2 * kIndexHeader);
    const bool nativeBig = std::endian::native == std::endian::big;
    for (const std::size_t copy : {std::size_t{0}, kIndexHeader}) {
        putWord(index, copy + kIndexFrameChecksumAt, sum.first, nativeBig);
        putWord(index, copy + kIndexFrameChecksumAt + 4, sum.second, nativeBig);
        Checksum own;
        own.add(index, copy, copy + kIndexChecksummed, nativeBig);
        putWord(index, copy + kIndexChecksummed, own.first, nativeBig);
        putWord(index, copy + kIndexChecksummed + 4, own.second, nativeBig);
    }
    writeBytes(indexPath, 0, index);
}

// How often each event reached the service.
std::map<std::string, int> received(const UploadFixture& fixture) {
    std::map<std::string, int> times;
    for (const auto& batch : fixture.batches()) {
        for (const auto& bundle : bundlesOf(batch)) {
            for (const auto& name : eventNames(bundle)) ++times[name];
        }
    }
    return times;
}

// Queues the bundles, sends them as one batch, and damages the queue while
// the service's answer is held.
void sendAndDamage(UploadFixture& fixture, Damage damage) {
    for (int i = 0; i < kBundles; ++i) fixture.queueBundle("e" + std::to_string(i), kT0 + i);
    if (damage != Damage::freeBlockInLog) fixture.executeSQL("PRAGMA wal_checkpoint(TRUNCATE)");
    fixture.server.enqueue(reply(204, {}, {}, true));
    fixture.onWorker([&] { fixture.uploader->uploadData(); });
    REQUIRE(fixture.server.waitForHeld(1, 20));
    damageQueueLeaf(fixture, damage);
    fixture.server.release();
    REQUIRE(fixture.completeRequest());
    // The delete met the damage: the path under test.
    CHECK(fixture.capture.hasCode(kAPMSqliteStoreDamageFoundCode));
}

void checkEachReceivedOnce(const UploadFixture& fixture) {
    const auto times = received(fixture);
    CHECK(times.size() == static_cast<std::size_t>(kBundles) + 1);
    for (const auto& received : times) {
        const std::string& name = received.first;
        CAPTURE(name);
        CHECK(received.second == 1);
    }
}

}  // namespace

TEST_CASE("Bundles the service took are deleted from the file carried out of one whose damage their delete met, "
          "in the file or in its log, or that hid some of them from it, and no process sends them again") {
    for (const auto damage : {Damage::freeBlockInFile, Damage::freeBlockInLog, Damage::keysOutOfOrder}) {
        CAPTURE(static_cast<int>(damage));
        UploadFixture fixture;
        sendAndDamage(fixture, damage);
        CHECK(fixture.capture.hasCode(kAPMSqliteStoreDamagedFileCode));
        CHECK_FALSE(fixture.capture.hasCode(kAPMUploadDeleteFailedCode));
        CHECK_FALSE(fixture.uploader->suspensionTimestamp());
        CHECK(fixture.queued().empty());

        // The next process sends only what came since.
        fixture.restart();
        fixture.storeEvent("after", kT0 + kBundles);
        fixture.server.enqueue(reply(204));
        fixture.onWorker([&] { fixture.uploader->uploadData(); });
        REQUIRE(fixture.server.waitForRequests(2, 20));
        REQUIRE(fixture.completeRequest());
        checkEachReceivedOnce(fixture);
        CHECK(fixture.queued().empty());
    }
}

TEST_CASE("Bundles the service took that a damaged file kept open by another process holds: said, and deleted "
          "before anything else is sent once the file can be replaced") {
    const testsupport::ScopedLaunchOptions noWait([](platform::LaunchOptions& options) { options.lockWaitSeconds = 0; });
    UploadFixture fixture;
    auto holder = std::make_unique<testsupport::FileLockHolder>(
        fixture.database->databasePath() + kAPMSqliteStoreLockSuffix, false);
    sendAndDamage(fixture, Damage::freeBlockInFile);
    const auto kept = fixture.capture.entriesWithCode(kAPMUploadAcknowledgedKeptCode);
    REQUIRE(kept.size() == 1);
    CHECK(kept[0].contexts.at(0).intValue() == kBundles);
    CHECK(fixture.capture.hasCode(kAPMUploadDeleteFailedCode));
    REQUIRE(fixture.uploader->suspensionTimestamp());

    // Once the other process has let go, the file is carried at the next
    // write, and those bundles go before the batch of what came since.
    holder->letGo();
    fixture.time.advance(kAPMUploadSuspensionSeconds);
    fixture.storeEvent("after", kT0 + kBundles);
    REQUIRE(fixture.alarmTime());
    fixture.server.enqueue(reply(204));
    fixture.time.advance(*fixture.alarmTime() - fixture.time.now());
    REQUIRE(fixture.server.waitForRequests(2, 20));
    REQUIRE(fixture.completeRequest());
    CHECK(fixture.capture.hasCode(kAPMSqliteStoreDamagedFileCode));
    checkEachReceivedOnce(fixture);
    CHECK(fixture.queued().empty());
}
