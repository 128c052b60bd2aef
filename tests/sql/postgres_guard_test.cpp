// PostgreSQL's guarded run under attack on the test server: every hostile statement is refused
// or changes nothing, judged by an independent snapshot; the parser's verdict agrees with
// libpg_query's own reading of randomly mutated queries; streams stop early with bounded memory;
// untrusted SQL runs under its own role.
#include "veltaai/sql/postgres_guard.h"
#include "tests/sql/peak_memory.h"
#include "tests/sql/postgres_hostile.h"
#include "veltaai/core/errors.h"

#include <gtest/gtest.h>
#include <pg_query.h>

#include <chrono>
#include <fstream>
#include <random>

namespace veltaai::sql {
namespace {

using namespace std::chrono_literals;

class PostgresGuard : public ::testing::Test {
protected:
    void SetUp() override {
        auto found = testing::server_env();
        ASSERT_TRUE(found) << testing::kStartServers;
        target = std::make_unique<testing::PostgresTarget>(found->postgres);
        ASSERT_FALSE(target->dir().empty()) << "no directory the server can write";
    }
    std::unique_ptr<testing::PostgresTarget> target;
};

// The handle's own session after a run: role, transaction mode, prepared statements, channels.
std::string session_state(Connection& db) {
    const Result r = db.execute(
        "SELECT current_user, current_setting('transaction_read_only'), "
        "current_setting('statement_timeout'), "
        "(SELECT count(*) FROM pg_prepared_statements), (SELECT count(*) FROM pg_listening_channels()), "
        "(SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND pid = pg_backend_pid())");
    std::string out;
    for (const Cell& c : r.rows.at(0)) out += display_text(c) + " ";
    return out;
}

TEST_F(PostgresGuard, HostileStatementsAreRefusedOrChangeNothing) {
    auto db = target->connect();
    const std::string state = session_state(*db);
    const std::vector<testing::Attack> attacks = target->attacks();
    ASSERT_GE(attacks.size(), 40u);
    for (const testing::Attack& attack : attacks) {
        SCOPED_TRACE(attack.sql.substr(0, 160));
        const std::string before = target->snapshot();
        try {
            db->run_read_only(attack.sql, 5s);
            EXPECT_FALSE(attack.refused) << "ran";
        } catch (const DatabaseError& error) {
            const std::string what = error.what();
            if (attack.refused) {
                EXPECT_EQ(what.rfind("Refused: ", 0), 0u) << what;
            }
        }
        EXPECT_EQ(target->snapshot(), before);
        EXPECT_EQ(session_state(*db), state);
        EXPECT_EQ(db->execute("SELECT 1").rows.size(), 1u);
    }
}

TEST_F(PostgresGuard, RefusalsSayWhatAndWhy) {
    auto db = target->connect();
    const std::string table = "TABLE " + target->t();
    auto message = [&](const std::string& sql) {
        try {
            db->run_read_only(sql, 5s);
        } catch (const DatabaseError& e) {
            return std::string(e.what());
        }
        return std::string("(ran)");
    };
    EXPECT_EQ(message("SELECT pg_catalog.PG_READ_FILE('x')"),
              "Refused: pg_read_file() reads or writes files on the database server, so it cannot run here.");
    EXPECT_NE(message("SELECT 1; SELECT 2").find("more than one SQL statement"), std::string::npos);
    EXPECT_NE(message("SELEC 1").find("syntax error at or near \"SELEC\""), std::string::npos);
    EXPECT_NE(message("-- only a comment").find("no SQL statement"), std::string::npos);
    EXPECT_NE(message("EXPLAIN ANALYZE SELECT 1").find("runs the statement it explains"), std::string::npos);
    EXPECT_NE(message("NOTIFY x").find("NOTIFY cannot run here"), std::string::npos);
    EXPECT_EQ(message("SELECT nextval FROM (SELECT 1 AS nextval) s"), "(ran)");  // a column, not a call
    // Plain queries of every allowed kind pass.
    for (const char* ok :
         {"SELECT 1", "VALUES (1), (2)", "WITH a AS (SELECT 1) SELECT * FROM a", table.c_str(),
          "EXPLAIN SELECT 1", "SHOW search_path", "SELECT 1 UNION SELECT 2 EXCEPT SELECT 3",
          "SELECT * FROM xmltable('/a' PASSING ('<a>1</a>'::xml) COLUMNS x int PATH '.')"}) {
        EXPECT_EQ(message(ok), "(ran)") << ok;
    }
}

TEST_F(PostgresGuard, TheRunIsReadOnlyAndLocksTakenForTheQueryDoNotOutliveIt) {
    auto db = target->connect();
    EXPECT_EQ(db->run_read_only("SHOW transaction_read_only", 5s).rows.at(0).at(0), Cell(std::string("on")));
    // A function of the database takes a session lock the guard cannot see; the reset drops it.
    db->run_read_only("SELECT " + target->schema() + ".grab()", 5s);
    const std::string k = std::to_string(target->key());
    EXPECT_EQ(target->connect()
                  ->execute("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND objid = " + k)
                  .rows.at(0)
                  .at(0),
              Cell(std::int64_t{0}));
}

TEST_F(PostgresGuard, UntrustedSqlRunsUnderItsOwnRole) {
    auto db = target->connect();
    const std::string role = "probe_reader_" + std::to_string(::getpid());
    db->execute("DROP ROLE IF EXISTS " + role);
    db->execute("CREATE ROLE " + role + " NOLOGIN");
    db->execute("GRANT USAGE ON SCHEMA " + target->schema() + " TO " + role);
    const auto superuser = db->elevated_privileges();
    ASSERT_FALSE(superuser.empty());
    EXPECT_NE(superuser.front().find("superuser"), std::string::npos);
    EXPECT_THROW(db->set_untrusted_role("no_such_role_x"), ValueError);
    db->set_untrusted_role(role);
    const auto reader = db->elevated_privileges();
    for (const std::string& phrase : reader) EXPECT_EQ(phrase.find("superuser"), std::string::npos) << phrase;
    EXPECT_EQ(db->run_read_only("SELECT current_user", 5s).rows.at(0).at(0), Cell(role));
    try {
        db->run_read_only("SELECT * FROM " + target->t(), 5s);
        ADD_FAILURE() << "the reader read a table it was not granted";
    } catch (const DatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find("permission denied"), std::string::npos) << e.what();
    }
    // The connecting role is back for the host's own statements.
    EXPECT_EQ(db->execute("SELECT current_user").rows.at(0).at(0),
              Cell(testing::server_env()->postgres.user));
    db->set_untrusted_role("");
    db->execute("DROP OWNED BY " + role);
    db->execute("DROP ROLE " + role);
}

// Keeps the first limit rows' count and nothing else.
class CountingSink : public RowSink {
public:
    explicit CountingSink(std::size_t limit) : limit_(limit) {}
    void columns(const std::vector<std::string>& names) override { columns_ = names.size(); }
    bool row(Row&& row) override {
        rows_ += row.size() == columns_ ? 1 : 0;
        return rows_ < limit_;
    }
    std::size_t rows() const { return rows_; }

private:
    std::size_t limit_;
    std::size_t columns_ = 0;
    std::size_t rows_ = 0;
};

TEST_F(PostgresGuard, AStreamStoppedEarlyIsCancelledAndKeepsMemoryBounded) {
    auto db = target->connect();
    { std::ofstream("/proc/self/clear_refs") << "5"; }  // restarts the peak count
    const long baseline = testing::peak_rss_kib();
    const auto start = std::chrono::steady_clock::now();
    CountingSink sink(10'000);
    db->stream_read_only("SELECT g, repeat('x', 100) FROM generate_series(1, 10000000) g", 30s, sink);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(sink.rows(), 10'000u);
    EXPECT_LT(elapsed, 3s);  // cancelled, not read to the end
    EXPECT_LT(testing::peak_rss_kib(), baseline + 64 * 1024);
    EXPECT_EQ(db->execute("SELECT 2").rows.at(0).at(0), Cell(std::int64_t{2}));
    // A full stream reaches the sink row by row, and refusals hold for streams too.
    CountingSink all(1'000'000);
    db->stream_read_only("SELECT g FROM generate_series(1, 2500) g", 5s, all);
    EXPECT_EQ(all.rows(), 2500u);
    EXPECT_THROW(db->stream_read_only("SELECT pg_read_file('/etc/hostname')", 5s, all), DatabaseError);
    EXPECT_THROW(db->stream_read_only("SELECT pg_sleep(3)", 200ms, all), DatabaseError);
}

// libpg_query's own reading of a text: one plain SELECT, and nothing but SELECTs inside.
bool parser_says_one_plain_query(const std::string& text) {
    PgQueryParseResult r = pg_query_parse(text.c_str());
    bool ok = r.error == nullptr;
    if (ok) {
        const std::string tree = r.parse_tree;
        auto count = [&](const std::string& needle) {
            std::size_t n = 0;
            for (std::size_t at = tree.find(needle); at != std::string::npos; at = tree.find(needle, at + 1))
                ++n;
            return n;
        };
        ok = count("{\"stmt\":") == 1 && tree.find("{\"stmt\":{\"SelectStmt\"") != std::string::npos &&
             count("Stmt\":") == count("SelectStmt\":") && count("intoClause") == 0 &&
             count("lockingClause") == 0;
    }
    pg_query_free_parse_result(r);
    return ok;
}

TEST_F(PostgresGuard, MutatedQueriesGetTheParsersVerdictAndChangeNothingWhenAccepted) {
    const std::string T = target->t();
    const std::vector<std::string> bases = {
        "SELECT v, note FROM " + T + " WHERE v > 1 ORDER BY v",
        "SELECT count(*) FROM " + T + " a JOIN " + T + " b ON a.v = b.v",
        "WITH x AS (SELECT v FROM " + T + ") SELECT sum(v) FROM x",
        "SELECT 'semi;colon', $$dollar$$, E'esc\\n' FROM " + T,
        "VALUES (1, 'a'), (2, 'b')",
        "SELECT (SELECT max(v) FROM " + T + ") UNION ALL SELECT 1",
    };
    const std::vector<std::string> pieces = {" /* c */ ", "/*",       "*/",         " /* a /* b */ c */ ",
                                             " -- c\n",   "--",       "\n",         "\t",
                                             " ",         "'",        "''",         "\"",
                                             "$$",        "$q$",      "$q$;$q$",    "$$ ; $$",
                                             ";",         "; ",       "; SELECT 1", "; DELETE FROM " + T,
                                             "; COMMIT",  " E'\\'' ", "\\",         "U&'\\0041'",
                                             "(",         ")",        ",",          " FOR UPDATE",
                                             " INTO x ",  "$1",       "::text"};
    std::mt19937 random(20240605);
    auto db = target->connect();
    const std::string before = target->snapshot();
    int accepted = 0, refused = 0, ran = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string text = bases[random() % bases.size()];
        const int edits = 1 + static_cast<int>(random() % 3);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = random() % (text.size() + 1);
            text.insert(at, pieces[random() % pieces.size()]);
        }
        bool guard_accepts = true;
        try {
            check_postgres_statement(text);
        } catch (const DatabaseError&) {
            guard_accepts = false;
        }
        ASSERT_EQ(guard_accepts, parser_says_one_plain_query(text)) << text;
        (guard_accepts ? accepted : refused)++;
        if (guard_accepts && ran < 300) {
            ++ran;
            try {
                db->run_read_only(text, 2s);
            } catch (const DatabaseError&) {
                // A mutation may well be an error on the server; what matters is the snapshot.
            }
        }
    }
    EXPECT_GT(accepted, 300);
    EXPECT_GT(refused, 300);
    EXPECT_EQ(target->snapshot(), before);
}

TEST(PostgresDenyList, MatchesNamesAndFamiliesWhateverTheCase) {
    EXPECT_TRUE(postgres_denied_function("PG_READ_FILE"));
    EXPECT_TRUE(postgres_denied_function("pg_try_advisory_xact_lock_shared"));
    EXPECT_TRUE(postgres_denied_function("dblink_exec"));
    EXPECT_TRUE(postgres_denied_function("lo_unlink"));
    EXPECT_TRUE(postgres_denied_function("Query_To_Xml_And_XmlSchema"));
    for (const char* harmless : {"lower", "log", "pg_sleep", "txid_current", "pg_current_xact_id", "now",
                                 "currval", "generate_series", "pg_backend_pid", "current_setting"}) {
        EXPECT_FALSE(postgres_denied_function(harmless)) << harmless;
    }
}

}  // namespace
}  // namespace veltaai::sql
