#pragma once

#include "pool/pager.h"

namespace brindle {

// Holds the pager's writer gate for a scope, so that writers run one at a time; a gate made
// on a thread that holds the gate already (a call inside a batch, or a WriteTransaction
// inside a gate) takes nothing. Writers take the gate before any key lock they write under,
// so that a batch, which keeps its key locks until it ends, never waits for a writer that
// waits for it.
//
// A shared writer's gate also takes the write lock of all processes holding the pool, and
// catches up with what they committed, before the guard's scope goes on; `local_only` leaves
// that out, for a scope that only keeps this process's writers away (taking in other
// processes' commits for a read).
class WriterGate {
public:
    explicit WriterGate(Pager* pager, bool local_only = false) NO_THREAD_SAFETY_ANALYSIS
        : pager_(pager != nullptr && !pager->HoldsWriterGate() ? pager : nullptr) {
        if (pager_ != nullptr) {
            pager_->writer_gate_.lock();
            pager_->gate_owner_.store(std::this_thread::get_id(), std::memory_order_release);
            if (!local_only) {
                try {
                    pager_->AcquireWriteLock();
                } catch (...) {
                    Release();
                    throw;
                }
            }
        }
    }
    ~WriterGate() { Release(); }
    WriterGate(const WriterGate&) = delete;
    WriterGate& operator=(const WriterGate&) = delete;

private:
    void Release() NO_THREAD_SAFETY_ANALYSIS {
        if (pager_ != nullptr) {
            pager_->ReleaseWriteLock();
            pager_->gate_owner_.store(std::thread::id(), std::memory_order_release);
            pager_->writer_gate_.unlock();
            pager_ = nullptr;
        }
    }

    Pager* pager_;
};

// Makes one changing call of the database a unit: every page it changes reaches the journal
// in one record at Commit, or, when the guard ends without Commit (an error result or an
// exception), the pool is put back as it was before the guard began.
//
// The guard holds the pager's writer gate (see WriterGate) from construction to the end. A
// guard made while the
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
        : gate_(pager),
          pager_(pager),
          outer_(pager != nullptr && !pager->InTransaction()) {
        if (pager_ == nullptr) {
            return;
        }
        if (outer_) {
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
    // Rolls back now what the guard changed (as its end without Commit would); the gate stays
    // held until the end.
    void Rollback() NO_THREAD_SAFETY_ANALYSIS {
        if (pager_ == nullptr || done_) {
            return;
        }
        done_ = true;
        if (outer_) {
            pager_->Rollback();
        } else {
            pager_->RollbackToSavepoint();
        }
    }

private:
    WriterGate gate_;
    Pager* pager_;
    bool outer_;
    bool done_ = false;
};

}  // namespace brindle
