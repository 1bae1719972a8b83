// Opening and closing a database, and releasing key handles.

#include <memory>
#include <new>

#include "api/handles.h"
#include "api/status_codes.h"
#include "brindle.h"
#include "md_exception.h"
#include "vell/output.h"

using brindle::BRNFHandle;
using brindle::BRNHandle;
using brindle::CommonTree;
using brindle::ConfigRecord;

namespace {

// Opens the database object on the configuration. 1, 0 when the database cannot be opened,
// 1000 when opening raised an exception. Destroying a database whose open failed runs its
// close sequence, so a pool already opened is closed in order.
int OpenDatabase(CommonTree& database, ConfigRecord& configuration) {
    try {
        if (database.Open(&configuration)) {
            return BRN_OK;
        }
    } catch (const MDException& failure) {
        // Said, so that the host's log tells why the open raised.
        vell::OutputLine("Open raised %s: %s", failure.GetTypeName(), failure.GetMessage());
        return BRN_ERR_EXCEPTION;
    } catch (...) {
        return BRN_ERR_EXCEPTION;
    }
    return brindle::OpenFailureCode(database.LastOpenFailure());
}

// The access the options ask for; false for options naming no known access.
bool AccessOf(unsigned int options, brindle::Access& access) {
    if ((options & ~(BRN_OPEN_READ_ONLY | BRN_OPEN_SHARED)) != 0 ||
        options == (BRN_OPEN_READ_ONLY | BRN_OPEN_SHARED)) {
        return false;
    }
    access = (options & BRN_OPEN_READ_ONLY) != 0 ? brindle::Access::kReadOnly
             : (options & BRN_OPEN_SHARED) != 0  ? brindle::Access::kShared
                                                 : brindle::Access::kExclusive;
    return true;
}

// Frees a handle; null and -1 are ignored. A handle's destructor that throws is not the
// host's concern: the handle is gone either way.
template <typename Handle>
void CloseHandle(void*& value) {
    if (value == nullptr || brindle::IsNoHandle(value)) {
        return;
    }
    try {
        delete static_cast<Handle*>(value);
    } catch (...) {
    }
}

}  // namespace

extern "C" {

BRN_EXPORT int BRN_OpenFile(const char* path, void*& fileHandle, unsigned int options) {
    if (path == nullptr) {
        return BRN_ERR_NULL_PATH;
    }
    fileHandle = brindle::NoHandle();
    brindle::Access access = brindle::Access::kExclusive;
    if (!AccessOf(options, access)) {
        return BRN_ERR_INVALID_ARGUMENT;
    }
    try {
        auto configuration = std::make_unique<ConfigRecord>();
        configuration->dataPath = path;
        configuration->pool.access = access;
        auto database = std::make_unique<CommonTree>();
        int opened = OpenDatabase(*database, *configuration);
        if (opened != BRN_OK) {
            database.reset();  // before the configuration it points to
            return opened;
        }
        auto file = std::make_unique<BRNFHandle>();
        // No other thread has the database yet: the feed becomes its commit observer.
        file->feed = std::make_shared<brindle::ChangeFeed>(*database);
        file->path = path;
        file->configuration = std::move(configuration);
        file->database = std::move(database);
        fileHandle = file.release();
        return BRN_OK;
    } catch (...) {
        // Only allocations of the records can fail here; whatever was made is freed.
        return BRN_ERR_NO_MEMORY;
    }
}

BRN_EXPORT void BRN_CloseBRNFHandle(void*& fileHandle) {
    CloseHandle<BRNFHandle>(fileHandle);
}

BRN_EXPORT void BRN_CloseBRNHandle(void*& keyHandle) {
    CloseHandle<BRNHandle>(keyHandle);
}

}  // extern "C"
