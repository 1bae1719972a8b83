// Exporting a key's subtree to a file and importing such a file: the handle checks, then
// the transfer layer.

#include <string>
#include <utility>

#include "api/export_support.h"
#include "api/status_codes.h"
#include "transfer/subtree_export.h"
#include "transfer/subtree_import.h"

using brindle::BRNFHandle;
using brindle::BRNHandle;
using brindle::SegmentNaming;

namespace {

int Export(void* value, std::string path, bool overwrite, SegmentNaming naming) {
    BRNHandle* handle = nullptr;
    // Exporting only reads, yet a read-only main key refuses it as it refuses changes.
    int checked = brindle::CheckKeyHandle(value, BRN_OK, brindle::KeyAccess::kChange, handle);
    if (checked != BRN_OK) {
        return checked;
    }
    try {
        brindle::CommonTree::CallScope call(*handle->file->database);
        brindle::ExportRequest request;
        request.database = handle->file->database.get();
        request.main_key = handle->main_key;
        request.node = handle->node;
        request.key_path =
            brindle::BuildExportKeyPath(handle->main_key_name, handle->path, handle->mode);
        request.path = std::move(path);
        request.overwrite = overwrite;
        request.naming = naming;
        return brindle::ToCode(brindle::ExportSubtree(request));
    } catch (...) {
        return BRN_ERR_EXCEPTION;
    }
}

}  // namespace

extern "C" {

BRN_EXPORT int BRN_ExportSubTree(void*& keyHandle, std::string path, bool overwrite) {
    return Export(keyHandle, std::move(path), overwrite, SegmentNaming::kNumbered);
}

BRN_EXPORT int BRN_ExportSubTree2(void*& keyHandle, std::string path, bool overwrite) {
    return Export(keyHandle, std::move(path), overwrite, SegmentNaming::kSingle);
}

BRN_EXPORT int BRN_ImportSubTree(void*& fileHandle, std::string path, bool fresh) {
    BRNFHandle* file = nullptr;
    const int checked = brindle::CheckHandle(fileHandle, BRN_OK, file);
    if (checked != BRN_OK) {
        return checked;
    }
    return brindle::InCall(*file->database, "ImportSubTree", [&] {
        return brindle::ToCode(brindle::ImportSubtree(*file->database, path, fresh));
    });
}

}  // extern "C"
