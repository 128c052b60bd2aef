#pragma once
// The MySQL-protocol driver (MariaDB and MySQL servers), over MariaDB Connector/C. Results come
// over the text protocol and are decoded by column type. Untrusted SQL passes the token reader
// of mysql_guard.h, then runs with the session set read-only (and its sql_mode set to read
// texts as the reader did), inside START TRANSACTION READ ONLY, under the server's statement
// time limit; its rows stream over mysql_use_result, and the session is reset afterwards
// (COM_RESET_CONNECTION) so no lock, variable or setting outlives the run.

#include "veltaai/sql/connection.h"

#include <memory>

namespace veltaai::sql {

// Opens a connection (character set utf8mb4, autocommit on); throws OperationalError with the
// client's message when that fails.
std::unique_ptr<Connection> connect_mysql(const ConnectOptions& options);

}  // namespace veltaai::sql
