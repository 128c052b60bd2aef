// Splitting SQL text into statements and deciding what may run read-only.
#include "veltaai/sql/statement.h"

#include "veltaai/core/errors.h"

#include <gtest/gtest.h>

namespace veltaai::sql {
namespace {

struct Split {
    const char* sql;
    Dialect dialect;
    std::size_t statements;
};

TEST(SplitStatements, CountsStatementsAsTheEngineReadsThem) {
    const Split cases[] = {
        // Semicolons inside quotes and comments do not split.
        {"SELECT 'a;b', \"c;d\" FROM t -- e;f\n", Dialect::postgresql, 1},
        {"SELECT 1 /* a; /* nested; */ still; */", Dialect::postgresql, 1},
        {"SELECT $$a;b$$, $tag$ ; $$ ; $tag$", Dialect::postgresql, 1},
        {"SELECT E'it\\'s; here'", Dialect::postgresql, 1},
        {"SELECT 'it''s; here'", Dialect::postgresql, 1},
        {"SELECT 'a\\'; b' # c;d\n", Dialect::mysql, 1},
        {"SELECT `a;b` FROM t", Dialect::mysql, 1},
        {"SELECT [a;b] FROM t", Dialect::mssql, 1},
        {"SELECT [a;b], `c;d` FROM t", Dialect::sqlite, 1},
        // Real separators split; empty statements vanish.
        {"SELECT 1; DROP TABLE t", Dialect::postgresql, 2},
        {"SELECT 1;", Dialect::postgresql, 1},
        {"SELECT 1; -- done\n ;  ", Dialect::sqlite, 1},
        {"  ; -- nothing\n", Dialect::mysql, 0},
        // Standard strings in PostgreSQL do not escape with a backslash: the quote ends at \'.
        {"SELECT 'a\\'; SELECT 2", Dialect::postgresql, 2},
        // Brackets are array subscripts in PostgreSQL, not quoted names.
        {"SELECT a[1]; SELECT 2", Dialect::postgresql, 2},
        // MySQL runs the inside of /*! */; a ';' there separates statements.
        {"SELECT 1 /*! ; DROP TABLE t */", Dialect::mysql, 2},
        // "--x" is not a comment in MySQL, so the ';' after it counts.
        {"SELECT 1--1; DROP TABLE t", Dialect::mysql, 2},
    };
    for (const Split& split : cases)
        EXPECT_EQ(split_statements(split.sql, split.dialect).size(), split.statements) << split.sql;
    const auto parts = split_statements("SELECT 1 ;\n  SELECT 2  ", Dialect::postgresql);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0], "SELECT 1");
    EXPECT_EQ(parts[1], "SELECT 2");
}

TEST(LeadingKeyword, SkipsBlanksCommentsAndParentheses) {
    EXPECT_EQ(leading_keyword("  /* c */ ((select 1))", Dialect::postgresql), "SELECT");
    EXPECT_EQ(leading_keyword("-- x\nwith a as (select 1) select * from a", Dialect::sqlite), "WITH");
    EXPECT_EQ(leading_keyword("'text'", Dialect::postgresql), "");
}

TEST(ReadOnlyStatement, PassesOneReadingStatementWithoutItsTerminator) {
    EXPECT_EQ(read_only_statement("  SELECT 1;  ", Dialect::postgresql), "SELECT 1");
    EXPECT_EQ(read_only_statement("WITH a AS (SELECT 1) SELECT * FROM a", Dialect::mssql),
              "WITH a AS (SELECT 1) SELECT * FROM a");
    for (const char* sql :
         {"EXPLAIN SELECT 1", "SHOW TABLES", "DESCRIBE t", "(SELECT 1) UNION (SELECT 2)", "VALUES (1)"}) {
        EXPECT_NO_THROW(read_only_statement(sql, Dialect::mysql)) << sql;
    }
}

TEST(ReadOnlyStatement, RefusesWhatCouldActOutsideTheReadOnlyTransaction) {
    const std::pair<const char*, Dialect> refused[] = {
        {"", Dialect::postgresql},
        {"-- only a comment", Dialect::postgresql},
        {"SELECT 1; SELECT 2", Dialect::postgresql},
        {"SELECT 1; DELETE FROM t", Dialect::sqlite},
        {"COPY (SELECT 1) TO PROGRAM 'touch /tmp/x'", Dialect::postgresql},
        {"DO $$ BEGIN EXECUTE 'DROP TABLE t'; END $$", Dialect::postgresql},
        {"SET STATEMENT tx_read_only=0 FOR DROP TABLE t", Dialect::mysql},
        {"USE mysql", Dialect::mysql},
        {"CALL p()", Dialect::mysql},
        {"COMMIT", Dialect::postgresql},
        {"PRAGMA query_only = 0", Dialect::sqlite},
        {"ATTACH DATABASE '/tmp/x.db' AS x", Dialect::sqlite},
        {"SELECT * FROM t INTO OUTFILE '/tmp/x'", Dialect::mysql},
        {"INSERT INTO t VALUES (1)", Dialect::mssql},
        {"EXEC xp_cmdshell 'dir'", Dialect::mssql},
    };
    for (const auto& [sql, dialect] : refused) {
        EXPECT_THROW(read_only_statement(sql, dialect), DatabaseError) << sql;
    }
    try {
        read_only_statement("SELECT 1; DROP TABLE t", Dialect::postgresql);
        FAIL() << "two statements were accepted";
    } catch (const DatabaseError& error) {
        EXPECT_NE(std::string(error.what()).find("more than one SQL statement"), std::string::npos);
    }
    try {
        read_only_statement("copy t to stdout", Dialect::postgresql);
        FAIL() << "COPY was accepted";
    } catch (const DatabaseError& error) {
        EXPECT_NE(std::string(error.what()).find("COPY statements cannot run here"), std::string::npos);
    }
}

TEST(ReadOnlyStatement, LeavesDataChangesToEnginesThatRefuseThemThemselves) {
    for (const Dialect dialect : {Dialect::postgresql, Dialect::sqlite}) {
        EXPECT_EQ(read_only_statement("DELETE FROM t;", dialect), "DELETE FROM t");
    }
    // MariaDB's reader refuses all but plain queries itself, so its read-only transaction is
    // the second wall rather than the only one.
    EXPECT_THROW(read_only_statement("DELETE FROM t;", Dialect::mysql), DatabaseError);
}

}  // namespace
}  // namespace veltaai::sql
