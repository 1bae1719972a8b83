// Opening and closing a database, and releasing key handles.

#include <memory>
#include <new>

#include "api/handles.h"
#include "brindle.h"

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
        return database.Open(&configuration) ? BRN_OK : BRN_FAIL;
    } catch (...) {
        return BRN_ERR_EXCEPTION;
    }
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

BRN_EXPORT int BRN_OpenFile(const char* path, void*& fileHandle, unsigned int /*options*/) {
    if (path == nullptr) {
        return BRN_ERR_NULL_PATH;
    }
    fileHandle = brindle::NoHandle();
    try {
        auto configuration = std::make_unique<ConfigRecord>();
        configuration->dataPath = path;
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
