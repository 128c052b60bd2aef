#pragma once
// The MySQL-protocol driver (MariaDB and MySQL servers), over MariaDB Connector/C. Results come
// over the text protocol and are decoded by column type; untrusted SQL runs with the session
// set read-only, inside START TRANSACTION READ ONLY, under the server's statement time limit.

#include "veltaai/sql/connection.h"

#include <memory>

namespace veltaai::sql {

// Opens a connection (character set utf8mb4, autocommit on); throws OperationalError with the
// client's message when that fails.
std::unique_ptr<Connection> connect_mysql(const ConnectOptions& options);

}  // namespace veltaai::sql
