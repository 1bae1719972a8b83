// The host's scoped batch: a thin shell over the database object's batch.
#include "brindle_batch.h"

#include "api/export_support.h"
#include "api/handles.h"
#include "api/status_codes.h"
#include "brindle_codes.h"
#include "md_exception.h"
#include "vell/output.h"

namespace brindle {
namespace {

CommonTree* DatabaseOf(void* file) {
    return static_cast<BRNFHandle*>(file)->database.get();
}

}  // namespace

Batch::Batch(void* fileHandle) noexcept : file_(fileHandle), status_(BRN_OK) {
    BRNFHandle* file = nullptr;
    status_ = CheckHandle(fileHandle, BRN_OK, file);
    if (status_ != BRN_OK) {
        return;
    }
    if (file->database == nullptr) {
        status_ = BRN_ERR_INVALID_ARGUMENT;
        return;
    }
    try {
        status_ = ToCode(file->database->BeginBatch());
    } catch (...) {
        status_ = BRN_ERR_EXCEPTION;
    }
    open_ = status_ == BRN_OK;
}

Batch::~Batch() {
    Rollback();
}

int Batch::Commit() noexcept {
    if (!open_) {
        return status_;
    }
    open_ = false;
    try {
        status_ = ToCode(DatabaseOf(file_)->EndBatch(true));
    } catch (const MDException& error) {
        vell::OutputLine("Batch commit failed: %s: %s", error.GetTypeName(), error.GetMessage());
        status_ = BRN_ERR_EXCEPTION;
    } catch (...) {
        status_ = BRN_ERR_EXCEPTION;
    }
    return status_;
}

void Batch::Rollback() noexcept {
    if (!open_) {
        return;
    }
    open_ = false;
    try {
        DatabaseOf(file_)->EndBatch(false);
        status_ = BRN_FAIL;
    } catch (...) {
        status_ = BRN_ERR_EXCEPTION;
    }
}

}  // namespace brindle
