#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "keys/common_tree.h"
#include "keys/config_record.h"
#include "support/problem_lines.h"
#include "support/temp_dir.h"
#include "tree/tree_verifier.h"
#include "vell/output.h"

namespace brindle::testing_keys {

// A database object on a fresh directory, with a configuration the test may change before
// (re)opening.
class TestTree {
public:
    TestTree() {
        config.dataPath = dir.File("db");
        config.pool.data_buffer_initial = config.pool.page_buffer_initial = 16;
    }

    // Closes the database object, if open, and opens it again on the same files.
    void Reopen() {
        tree.reset();
        tree = std::make_unique<CommonTree>();
        ASSERT_TRUE(tree->Open(&config));
    }

    // Problem lines of the structural check; empty when the tree is sound.
    std::string Problems() { return testsupport::ProblemLines(*tree->Pool()); }

    vell::OutputCapture quiet;  // the pool reports creating new files
    testsupport::TempDir dir;
    ConfigRecord config;
    std::unique_ptr<CommonTree> tree;
};

}  // namespace brindle::testing_keys
