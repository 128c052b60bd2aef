#include "veltaai/sql/transaction.h"

#include "veltaai/sql/connection.h"

#include <utility>

namespace veltaai::sql {

Transaction::Transaction(const Step& begin, Step finish, Step abandon)
    : finish_(std::move(finish)), abandon_(std::move(abandon)) {
    try {
        begin();
    } catch (...) {
        open_ = false;
        try {
            abandon_();
        } catch (...) {
            // The begin error is the one worth reporting.
        }
        throw;
    }
}

Transaction::Transaction(Connection& connection)
    : Transaction([&connection] { connection.begin(); }, [&connection] { connection.commit(); },
                  [&connection] { connection.rollback(); }) {}

Transaction::~Transaction() {
    if (!open_) return;
    try {
        abandon_();
    } catch (...) {
        // Already leaving through another error, or the connection is gone; the driver reopens
        // a lost connection before its next statement.
    }
}

void Transaction::finish() {
    if (!open_) return;
    open_ = false;  // a failed finish is not retried by the destructor
    finish_();
}

}  // namespace veltaai::sql
