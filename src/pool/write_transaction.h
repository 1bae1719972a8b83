#pragma once

#include "pool/pager.h"

namespace brindle {

// Makes one changing call of the database a unit: every page it changes reaches the journal
// in one record at Commit, or, when the guard ends without Commit (an error result or an
// exception), the pool is put back as it was before the guard began.
//
// The outermost guard of a thread holds the pager's writer gate from construction to the end,
// so writers run one at a time; take it after the call's key lock. A guard made while the
// thread already runs a transaction (a call inside a batch, or a call made by another call)
// opens a savepoint instead: its Commit keeps its changes in the outer transaction, and its
// end without Commit rolls back only what it changed.
//
// The gate is held from the constructor to the destructor only by the outermost guard, a
// conditional hold the thread-safety analysis cannot express; so the constructor and the
// destructor are left out of the analysis, and the Pager's transaction steps they call
// declare that they need the gate.
class WriteTransaction {
public:
    // Unchecked: takes the gate only when outermost, and keeps it past the constructor.
    explicit WriteTransaction(Pager* pager) NO_THREAD_SAFETY_ANALYSIS
        : pager_(pager),
          outer_(pager != nullptr && !pager->InTransaction()) {
        if (pager_ == nullptr) {
            return;
        }
        if (outer_) {
            pager_->writer_gate_.lock();
            pager_->Begin();
        } else {
            pager_->OpenSavepoint();
        }
    }
    // Unchecked: releases the gate the constructor took, when outermost.
    ~WriteTransaction() NO_THREAD_SAFETY_ANALYSIS {
        if (pager_ == nullptr) {
            return;
        }
        if (!done_) {
            if (outer_) {
                pager_->Rollback();
            } else {
                pager_->RollbackToSavepoint();
            }
        }
        if (outer_) {
            pager_->EndTransaction();
            pager_->writer_gate_.unlock();
        }
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    // Throws "IOException" (with everything rolled back) when the journal refuses the record.
    void Commit() {
        if (pager_ == nullptr || done_) {
            return;
        }
        pager_->GateHeldByThisThread();  // this guard, or an outer one, holds it
        if (!outer_) {
            pager_->ReleaseSavepoint();
            done_ = true;
            return;
        }
        try {
            pager_->Commit();
        } catch (...) {
            pager_->Rollback();
            done_ = true;
            throw;
        }
        done_ = true;
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
    Pager* pager_;
    bool outer_;
    bool done_ = false;
};

}  // namespace brindle
