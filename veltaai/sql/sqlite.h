#pragma once
// The SQLite driver, over libsqlite3: the embedded default database. Cells keep SQLite's
// storage classes (integer, real, text, blob, null). The two-argument fts3_tokenizer(),
// extension loading and untrusted schema functions are off for the handle. Untrusted SQL runs
// with query_only set, under an authorizer that allows only reads and plain functions and
// under tighter limits (length, depth, no ATTACH), inside a transaction that is rolled back,
// and is interrupted at its time limit.

#include "veltaai/sql/connection.h"

#include <memory>
#include <string>

namespace veltaai::sql {

struct SqliteOptions {
    bool read_only = false;  // open the file read-only (it must exist)
    bool create = false;     // create the file when it does not exist (ignored when read-only)
};

// Opens the database file at path (":memory:" for a private in-memory database); throws
// OperationalError with SQLite's message when that fails.
std::unique_ptr<Connection> connect_sqlite(const std::string& path, const SqliteOptions& options = {});

}  // namespace veltaai::sql
