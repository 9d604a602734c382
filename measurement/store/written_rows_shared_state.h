#pragma once

// How the read-back takes each value a row is about to be written with:
// SQLite's own pre-update value, which the test hooks
// (testsupport/test_hooks.h) replace to test a value SQLite cannot give.

#include <atomic>

struct sqlite3;
struct sqlite3_value;

namespace measurement::detail {

// sqlite3_preupdate_new's form.
using PreupdateValueReader = int (*)(sqlite3* db, int column, sqlite3_value** value);

std::atomic<PreupdateValueReader>& preupdateNewValue();

}  // namespace measurement::detail
