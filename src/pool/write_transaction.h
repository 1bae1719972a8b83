#pragma once

#include "pool/page_pool.h"

namespace brindle {

// Makes one changing call of the database a unit: every page it changes reaches the journal
// in one record at Commit, or, when the guard ends without Commit (an error result or an
// exception), the pool is put back as it was before the guard began. Holds the pool's write
// lock from construction to the end, so writers run one at a time; take it after the call's
// key lock. A guard made while the thread already runs a transaction joins it and leaves
// commit and rollback to the outer guard.
class WriteTransaction {
public:
    explicit WriteTransaction(PagePool* pool)
        : pool_(pool != nullptr && !pool->InTransaction() ? pool : nullptr) {
        if (pool_ != nullptr) {
            pool_->BeginWrite();
        }
    }
    ~WriteTransaction() {
        if (pool_ != nullptr && !done_) {
            pool_->AbortWrite();
        }
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    // Throws "IOException" (with everything rolled back) when the journal refuses the record.
    void Commit() {
        if (pool_ != nullptr && !done_) {
            done_ = true;
            pool_->CommitWrite();
        }
    }
    // Commits when `result` is success (1), else leaves the rollback to the destructor.
    // Returns result.
    int CommitIfOk(int result) {
        if (result == 1) {
            Commit();
        }
        return result;
    }

private:
    PagePool* pool_;
    bool done_ = false;
};

}  // namespace brindle
