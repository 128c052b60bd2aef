#pragma once
// Where the test database servers started by scripts/test-servers.sh listen. Tests that need
// them fail (never skip) when the variables are missing.

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace veltaai::testing {

inline constexpr const char* kStartServers =
    "database test servers are not running: run `scripts/test-servers.sh start` and source "
    "/tmp/veltaai-test-servers/env before the tests";

struct Server {
    std::string host;
    int port = 0;
    std::string user;
    std::string password;
};

struct ServerEnv {
    Server postgres;
    Server mysql;
    std::string odbc_sqlite_db;  // a copy of chinook.sqlite, reachable through the "SQL Server" driver
};

inline std::optional<ServerEnv> server_env() {
    auto get = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (!value || !*value) return std::nullopt;
        return std::string(value);
    };
    const auto pg_port = get("VELTAAI_TEST_PG_PORT");
    const auto my_port = get("VELTAAI_TEST_MYSQL_PORT");
    const auto odbc = get("ODBCSYSINI");
    if (!pg_port || !my_port || !odbc) return std::nullopt;
    ServerEnv env;
    env.postgres = {get("VELTAAI_TEST_PG_HOST").value_or("127.0.0.1"), std::stoi(*pg_port),
                    get("VELTAAI_TEST_PG_USER").value_or(""), get("VELTAAI_TEST_PG_PASSWORD").value_or("")};
    env.mysql = {get("VELTAAI_TEST_MYSQL_HOST").value_or("127.0.0.1"), std::stoi(*my_port),
                 get("VELTAAI_TEST_MYSQL_USER").value_or(""),
                 get("VELTAAI_TEST_MYSQL_PASSWORD").value_or("")};
    env.odbc_sqlite_db = get("VELTAAI_TEST_ODBC_SQLITE_DB").value_or("");
    return env;
}

// The read-only Chinook file shipped with the shared data.
inline std::string chinook_sqlite() {
    const char* shared = std::getenv("VELTAAI_SHARED_DIR");
    const char* source = std::getenv("VELTAAI_SOURCE_DIR");
    std::filesystem::path root = shared ? std::filesystem::path(shared)
                                        : std::filesystem::path(source ? source : ".") / ".." / "shared";
    return (root / "data" / "chinook" / "chinook.sqlite").lexically_normal().string();
}

}  // namespace veltaai::testing
