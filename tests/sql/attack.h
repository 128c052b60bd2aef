#pragma once
// Running a hostile suite against a guarded connection: every statement of refused must be
// refused by the guard ("Refused: ..."), every statement of harmless may run or fail, and after
// each one the independent snapshot must equal the one taken before the attack.

#include "veltaai/core/errors.h"
#include "veltaai/sql/connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace veltaai::testing {

// expand(text) fills the statement's placeholders; snapshot() reads the state under attack.
// Returns how many statements were tried.
template <std::size_t R, std::size_t H, class Expand, class Snapshot>
int run_attack(sql::Connection& db, const char* const (&refused)[R], const char* const (&harmless)[H],
               const Expand& expand, const Snapshot& snapshot) {
    using namespace std::chrono_literals;
    const auto before = snapshot();
    int tried = 0;
    for (const char* raw : refused) {
        const std::string sql = expand(raw);
        try {
            db.run_read_only(sql, 2s);
            ADD_FAILURE() << "ran: " << sql;
        } catch (const DatabaseError& error) {
            EXPECT_EQ(std::string(error.what()).rfind("Refused: ", 0), 0u) << sql << " -> " << error.what();
            ++tried;
        }
        EXPECT_EQ(snapshot(), before) << sql;
    }
    for (const char* raw : harmless) {
        const std::string sql = expand(raw);
        try {
            db.run_read_only(sql, 2s);
        } catch (const DatabaseError&) {
        }
        ++tried;
        EXPECT_EQ(snapshot(), before) << sql;
    }
    return tried;
}

}  // namespace veltaai::testing
