// Transactions that end with their scope, on a real SQLite file: committed by finish(),
// rolled back when the scope is left by an error, and the steps run exactly as documented.
#include "veltaai/sql/transaction.h"

#include "veltaai/core/errors.h"
#include "veltaai/sql/sqlite.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace veltaai::sql {
namespace {

namespace fs = std::filesystem;

class TransactionTest : public ::testing::Test {
protected:
    TransactionTest()
        : path_(fs::temp_directory_path() / ("veltaai-transaction-" + std::to_string(getpid()) + ".db")) {
        fs::remove(path_);
        db_ = connect_sqlite(path_.string(), {false, true});
        db_->execute("CREATE TABLE t (v INTEGER)");
    }
    ~TransactionTest() override {
        db_.reset();
        fs::remove(path_);
    }
    std::int64_t rows() {
        return std::get<std::int64_t>(
            connect_sqlite(path_.string())->execute("SELECT COUNT(*) FROM t").rows[0][0]);
    }

    fs::path path_;
    std::unique_ptr<Connection> db_;
};

TEST_F(TransactionTest, FinishCommitsAndAnyOtherExitRollsBack) {
    {
        Transaction transaction(*db_);
        db_->execute("INSERT INTO t VALUES (1)");
        transaction.finish();
    }
    EXPECT_EQ(rows(), 1) << "a second connection sees the committed row";

    try {
        Transaction transaction(*db_);
        db_->execute("INSERT INTO t VALUES (2)");
        db_->execute("INSERT INTO missing VALUES (3)");
        transaction.finish();
        ADD_FAILURE() << "the failing statement went through";
    } catch (const DatabaseError&) {
    }
    EXPECT_EQ(rows(), 1) << "the scope left by an error rolled back";
    {
        Transaction transaction(*db_);  // no finish: an early return
        db_->execute("INSERT INTO t VALUES (4)");
    }
    EXPECT_EQ(rows(), 1);
    // The connection is usable again: no transaction was left open.
    EXPECT_NO_THROW(Transaction(*db_).finish());
}

TEST_F(TransactionTest, StepsRunOnceAndABeginFailureIsTheErrorReported) {
    int finished = 0;
    int abandoned = 0;
    {
        Transaction transaction([] {}, [&] { ++finished; }, [&] { ++abandoned; });
        transaction.finish();
        transaction.finish();
    }
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(abandoned, 0);

    try {
        Transaction transaction([] { throw std::runtime_error("begin failed"); }, [&] { ++finished; },
                                [&] {
                                    ++abandoned;
                                    throw std::runtime_error("abandon failed too");
                                });
        ADD_FAILURE() << "begin's error was lost";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "begin failed");
    }
    EXPECT_EQ(abandoned, 1) << "what begin left half done is abandoned";

    // A finish that fails is not attempted again, nor abandoned, by the destructor.
    try {
        Transaction transaction([] {}, [] { throw std::runtime_error("commit failed"); },
                                [&] { ++abandoned; });
        transaction.finish();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "commit failed");
    }
    EXPECT_EQ(abandoned, 1);
}

}  // namespace
}  // namespace veltaai::sql
