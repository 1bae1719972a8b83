#pragma once

// Several changing calls on one database as one unit. C++ only; not a BRN_ export.
//
//     brindle::Batch batch(fileHandle);
//     BRN_AppendProperty(key, "host", host);
//     BRN_EditProperty(key, "port", port);
//     if (batch.Commit() != BRN_OK) { ... }   // leaving the scope without Commit rolls back
//
// Every changing call that the batch's thread makes on that file handle while the batch is
// open joins it: at Commit all of them reach the journal as one record, and survive a crash
// or a power cut together (as far as the durability level promises), or none does. A call
// that fails inside the batch changes nothing and leaves the batch usable; the batch's other
// calls stay. Calls of other threads never see the batch's changes before it commits: the
// main keys it changes stay locked for writing until it ends (readers of those main keys
// wait; readers of others do not), and once it creates, renames or deletes a main key, every
// main key and the list of main keys stay locked. Other writers, batches included, wait for
// the batch to end: a second batch on another thread waits in its constructor.
//
// A batch belongs to the thread that made it: Commit, Rollback and the destructor must run
// there, and the file handle must stay open until the batch has ended.

#include "brindle_export.h"

namespace brindle {

class BRN_EXPORT Batch {
public:
    // Starts a batch on `fileHandle`, waiting while another thread writes. Status() tells
    // whether it started. Never throws.
    explicit Batch(void* fileHandle) noexcept;
    // Rolls back what the batch changed unless it was committed. Never throws.
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // BRN_OK while the batch is open; after Commit its result; after Rollback BRN_FAIL (0).
    // When the batch could not start: BRN_ERR_NULL_HANDLE
    // (109) or BRN_ERR_INVALID_ARGUMENT (102) for a file handle that is null or "no handle",
    // BRN_FAIL (0) when this thread runs a batch on that database already (batches do not nest).
    int Status() const noexcept { return status_; }
    bool Open() const noexcept { return open_; }

    // Commits every change of the batch as one unit and ends it. BRN_OK; BRN_ERR_EXCEPTION
    // (1000) when the journal refused the record, in which case everything was rolled back
    // (the diagnostic lines say why); Status() when the batch was not open. Never throws.
    int Commit() noexcept;
    // Undoes every change of the batch and ends it. Never throws.
    void Rollback() noexcept;

private:
    void* file_;
    bool open_ = false;
    int status_;
};

}  // namespace brindle
