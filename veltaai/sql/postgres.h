#pragma once
// The PostgreSQL driver, over libpq. Sessions use ISO dates and UTF-8 so that values decode
// into typed cells; untrusted SQL is classified by PostgreSQL's parser (postgres_guard.h) and
// runs in BEGIN READ ONLY with a local statement_timeout, under the untrusted role when one is
// set; rows can be streamed in single-row mode and the statement cancelled early.

#include "veltaai/sql/connection.h"

#include <memory>

namespace veltaai::sql {

// Opens a connection; throws OperationalError with libpq's message when that fails.
std::unique_ptr<Connection> connect_postgres(const ConnectOptions& options);

}  // namespace veltaai::sql
