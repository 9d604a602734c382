#pragma once

// What a program that runs the measurement engine drives it with, besides
// the public interface: waiting for what the engine was handed, the event
// writes it reports, what it stored, its configuration fetch, consent,
// identity and experiments as plain values, and its shutdown. Nothing of the
// engine's own types shows here.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace platform {
class UserDefaults;
}

namespace measurement::control {

// Launch arguments ("-VEZArurerudoDebugEnabled") reach the engine's monitor,
// which may have been made before the program recorded them.
void reloadLaunchArguments();

// Waits until everything the public interface accepted so far has been
// handled on the engine's worker queue (which first waits for the engine to
// start); false when that takes longer than the timeout.
bool waitUntilHandled(double timeoutSeconds);
// The same, after what the screen-view reporter holds has reached the
// engine too.
bool waitUntilScreenViewsHandled(double timeoutSeconds);
// The same, after the links handed to the public interface (an opened URL)
// have reached the engine too.
bool waitUntilLinksHandled(double timeoutSeconds);

// The engine shut down: what its worker queue holds done, its settings
// written, its experiments stopped. For a program that is about to end: no
// batch starts any more, and one already out is answered (or its request
// times out) first, so that the process never ends with a batch the service
// may take and the next run would send again.
void shutdown();

// The files processes share, by what they hold.
enum class SharedFile { measurementDatabase, experimentsDatabase, settings, other };

// A wait for the lock of a shared file that this process gave up on: nothing
// of this run was written to that file.
struct LockWaitGivenUp {
    SharedFile file = SharedFile::other;
    // What it was for, in words: "the engine's settings", "the database
    // rozeda-app-measurement.sql".
    std::string purpose;
    // The lock file, who held it and for how long.
    std::string reason;
};
// The waits given up on, oldest first.
std::vector<LockWaitGivenUp> lockWaitsGivenUp();

// How long a program that is about to end lets the engine start uploads
// (seconds of real time).
inline constexpr double kUploadWindowBeforeExit = 10;

// The time a program about to end gives the engine's upload: the window in
// which batches may start, then the request's own timeout (the server
// configuration's) for the last of them and a moment to take its answer.
// The engine starts no batch that could not be answered within it.
double uploadTimeBeforeExit(double windowSeconds);

// What came of the upload before the process ends.
struct UploadBeforeExit {
    // The time given (uploadTimeBeforeExit).
    double seconds = 0;
    // The engine's attempt ended within it.
    bool ended = false;
    // A request still had no answer once its own timeout had passed: its
    // batch may be sent again by a later run.
    bool requestOut = false;
};

// As the application does when it resigns active just before its process
// ends: grants the process the time above, lets the engine upload what it
// holds, and waits until its attempt has ended. A process held up past that
// time (stopped, or slowed) starts no batch any more, but still waits for
// the answer of the one it sent, up to the request's own timeout, so that
// what the service confirmed is deleted rather than sent again by the next
// run. The engine is not shut down.
UploadBeforeExit uploadBeforeExit(double windowSeconds = kUploadWindowBeforeExit);

// One event write, as the engine reports it: the event's name and origin,
// why it was not stored (none when it was), and what the engine recorded of
// a refused input ("_err", "_ev", "_el").
struct EventWrite {
    std::string name;
    std::string origin;
    std::optional<std::string> failure;
    platform::Value::Dictionary refusal;
    // The failure is analytics being disabled: left out by choice, not for
    // want of storage.
    bool disabled = false;
};

// The writes among these whose event the engine could not store (its
// database could not be opened, or refused it); not those left out because
// analytics is disabled.
std::vector<EventWrite> writesNotStored(const std::vector<EventWrite>& writes);

// Records every event write of the engine while it lives.
class EventWriteRecorder {
public:
    EventWriteRecorder();
    ~EventWriteRecorder();
    EventWriteRecorder(const EventWriteRecorder&) = delete;
    EventWriteRecorder& operator=(const EventWriteRecorder&) = delete;

    std::vector<EventWrite> writes() const;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::uint64_t identifier_;
};

// What became of an event logged under `name`, from the writes recorded
// meanwhile.
struct EventOutcome {
    // Why it was not stored, in words; none when it was.
    std::optional<std::string> failure;
    // The name it was stored under ("screen_view" as "_vs").
    std::string storedName;
    // What the engine dropped or cut of its parameters, in words with the
    // engine's code; none when nothing.
    std::optional<std::string> parameterRefusal;
};
EventOutcome outcomeOfEvent(const std::string& name, const std::vector<EventWrite>& writes);

// What the engine makes of the purchases the store reports while the watch
// lives: a purchase event ("_iap" and its kin) written or refused, or a
// purchase dropped as a duplicate of one it reported before.
class PurchaseWatch {
public:
    enum class Outcome { none, stored, refused, duplicate };
    struct Result {
        Outcome outcome = Outcome::none;
        // The event's name when stored, why it was refused, or the
        // duplicate's product.
        std::string detail;
    };

    PurchaseWatch();
    ~PurchaseWatch();
    PurchaseWatch(const PurchaseWatch&) = delete;
    PurchaseWatch& operator=(const PurchaseWatch&) = delete;

    // The first outcome, waited for up to the timeout; none after it.
    Result wait(double timeoutSeconds) const;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::uint64_t listener_;
};

// The stored raw events, queued bundles and user properties, and the rows
// that do not read back, as JSON-ready values; none, with the reason in
// `error`, when the database cannot be read.
std::optional<platform::Value> storedData(std::string* error);

// The same, handed over as it is read, so that what is held does not grow
// with the rows: `list` as each list begins, by its key, in the order of the
// keys ("damage", "queued_bundles", "raw_events", "unreadable_rows",
// "user_properties"), then `entry` for each of its entries. False, with
// the reason in `error`, when the database cannot be read; lists handed
// over before a failure met between the two readings of the file (see
// APMReadStoredDataInTurn) stay handed over.
struct StoredDataSink {
    std::function<void(const std::string& list)> list;
    std::function<void(const platform::Value& entry)> entry;
    // The tables read that the file does not hold (each read as no row),
    // once the damage is handed over; not called when it holds them all.
    std::function<void(const std::vector<std::string>& tables)> missingTables;
};
bool readStoredData(const StoredDataSink& sink, std::string* error);

// A fetch of the measurement configuration, as the engine makes when it is
// due, and what the engine then holds.
struct ConfigurationFetch {
    // False: the engine has no service address to fetch from.
    bool sent = false;
    // False: the fetch had not ended within `seconds`.
    bool answered = false;
    // How long its end was waited for: its request's own timeout (60 s, or
    // what the configuration in force sets) and a moment to take the answer.
    double seconds = 0;
    std::int64_t version = -1;
    bool eventEditingLoaded = false;
    // Why the fetch brought no configuration the engine took (no answer, a
    // failing status, one refused), in words; none when it did.
    std::optional<std::string> failure;
};
ConfigurationFetch fetchConfiguration();

// The consent types ("ad_storage", ...) and statuses ("granted", "denied").
const std::vector<std::string>& consentTypes();
bool isConsentStatus(const std::string& status);
// The consent state the engine holds: "signals", "diagnostics", "source",
// "settings" and "description".
platform::Value::Dictionary consentState();

// Holds the engine's consent preferences open while it lives, so that a
// consent given meanwhile whose write failed is still known when asked
// (preferences no handle holds are read afresh from their file).
class ConsentKeeping {
public:
    ConsentKeeping();
    // Why the consent given meanwhile is not kept where the next start reads
    // it (the reason its preferences file could not be written, in the
    // system's words, without words of its own around them); none when it
    // is.
    std::optional<std::string> notKept() const;

private:
    std::shared_ptr<platform::UserDefaults> suite_;
};

// The identifiers the engine hands out now, consent applied; none before it
// has an identity.
std::optional<platform::Value::Dictionary> identity();

}  // namespace measurement::control
