// The test hooks of the measurement store.
#define SQLITE_ENABLE_PREUPDATE_HOOK
#include <sqlite3.h>

#include "measurement/store/sqlite_store_shared_state.h"
#include "measurement/store/written_rows_shared_state.h"
#include "testsupport/test_hooks.h"

namespace test_hooks {

namespace {

int outOfMemory(sqlite3*, int, sqlite3_value**) { return SQLITE_NOMEM; }

}  // namespace

void refuseWrittenValues(bool refused) {
    measurement::detail::preupdateNewValue().store(refused ? &outOfMemory : &sqlite3_preupdate_new);
}

void setFileTriggersRun(bool run) { measurement::detail::fileTriggersRun().store(run); }

void setOddLockKept(bool kept) { measurement::detail::oddLockKept().store(kept); }

void setLayoutChangesExamined(bool examined) { measurement::detail::layoutChangesExamined().store(examined); }

}  // namespace test_hooks
