#pragma once
// A transaction that ends with its scope, as SQLiteCpp's Transaction: finish() ends it on the
// normal path (a commit, or a guarded run's rollback), with errors reaching the caller; a scope
// left any other way (an exception, an early return) abandons it, quietly.
//
//     sql::Transaction transaction(*connection);   // BEGIN
//     connection->execute("UPDATE ...");
//     transaction.finish();                         // COMMIT; without it: ROLLBACK

#include <functional>

namespace veltaai::sql {

class Connection;

class Transaction {
public:
    using Step = std::function<void()>;

    // Runs begin now; if begin throws, abandon runs before the error leaves.
    Transaction(const Step& begin, Step finish, Step abandon);
    // BEGIN on connection; finish() commits, abandoning rolls back.
    explicit Transaction(Connection& connection);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // Ends the transaction the normal way. Called once; after it the destructor does nothing.
    void finish();

private:
    Step finish_;
    Step abandon_;
    bool open_ = true;
};

}  // namespace veltaai::sql
