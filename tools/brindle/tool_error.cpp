#include "brindle/tool_error.h"

#include "brindle.h"
#include "brindle/result_codes.h"

namespace brindle::tool {

bool LibraryError::NeedsDiagnostics() const {
    switch (code()) {
        case BRN_FAIL:
        case BRN_ERR_NOT_DATABASE:  // what is wrong with the data file is found by looking
        case BRN_ERR_NO_MEMORY:
        case BRN_ERR_DATA:
        case BRN_ERR_BAD_VALUE:
        case BRN_ERR_BUFFER:
        case BRN_ERR_ENCODE:
        case BRN_ERR_EXPORT_FILE:
        case BRN_ERR_EXCEPTION:
            return true;
        default:
            return false;
    }
}

void CheckResult(int result, const std::string& what) {
    if (result != BRN_OK) {
        throw LibraryError(
            what + ": " + ResultMessage(result) + " (code " + std::to_string(result) + ")", result);
    }
}

}  // namespace brindle::tool
