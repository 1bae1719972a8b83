#pragma once

#include <string>

#include "tree/tree_verifier.h"

namespace testsupport {

// The structural check's problem lines, one a line; empty when the pool is sound.
inline std::string ProblemLines(brindle::Pager& pool) {
    std::string text;
    for (const std::string& line : brindle::TreeVerifier::Verify(pool).problems) {
        text += line + "\n";
    }
    return text;
}

}  // namespace testsupport
