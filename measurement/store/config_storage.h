#pragma once

// Where the server configuration is kept, behind an interface.

#include <functional>
#include <optional>
#include <vector>

#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/nano_message.h"

namespace measurement {

// Where the server configuration is kept: the measurement database's
// operations on it, and its transactions with completion hooks, so that
// what the configuration takes into memory follows what the database
// commits. Used on the measurement worker queue only.
class APMMeasurementConfigStorage {
public:
    virtual ~APMMeasurementConfigStorage();

    // The last stored configuration, encoded; empty when none was stored.
    virtual std::optional<NANOBytes> measurementConfigData(APMErrorOut error) = 0;
    virtual bool updateMeasurementConfigData(const NANOBytes& data, APMErrorOut error) = 0;
    // The time (seconds since 1970) of the last successful configuration
    // update; 0 when there was none.
    virtual std::optional<double> remoteConfigSuccessfulTimestamp(APMErrorOut error) = 0;

    // Runs the block as one database transaction: true commits, false (or an
    // exception, which goes on to the caller) rolls back. A transaction
    // begun inside another is a savepoint of it. Answers whether the block's
    // writes were committed.
    bool performTransaction(const std::function<bool()>& block);

    // Hands work to the end of the innermost transaction open through
    // performTransaction: it runs once the outermost one has committed (told
    // true), or as soon as the transaction it was handed to, or one around
    // it, rolls back (told false). Answers false, and keeps nothing, when no
    // transaction is open: the caller's writes are final already.
    bool whenTransactionEnds(std::function<void(bool committed)> completion);
    bool isInTransaction() const { return !levels_.empty(); }

protected:
    // The database's own transaction around the block.
    virtual bool performDatabaseTransaction(const std::function<bool()>& block) = 0;

private:
    using Completions = std::vector<std::function<void(bool)>>;
    void endLevel(bool committed);

    // One list of completions per open transaction, innermost last.
    std::vector<Completions> levels_;
};

}  // namespace measurement
