// The test hooks of the SQLite store.
#include "measurement/store/sqlite_store_shared_state.h"
#include "testsupport/test_hooks.h"

namespace test_hooks {

void setFileTriggersRun(bool run) { measurement::detail::fileTriggersRun().store(run); }

}  // namespace test_hooks
