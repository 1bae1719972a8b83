#include "brindle/tool_error.h"

#include "brindle.h"
#include "brindle/result_codes.h"

namespace brindle::tool {

void CheckResult(int result, const std::string& what) {
    if (result != BRN_OK) {
        throw ToolError(
            what + ": " + ResultMessage(result) + " (code " + std::to_string(result) + ")", result);
    }
}

}  // namespace brindle::tool
