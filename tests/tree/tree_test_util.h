#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pool/pager.h"
#include "pool/pool_test_util.h"
#include "pool/write_transaction.h"
#include "support/problem_lines.h"
#include "support/temp_dir.h"
#include "tree/tree_store.h"
#include "tree/tree_verifier.h"
#include "vell/endian.h"

namespace brindle::testing_tree {

// A pool opened as the database object opens it, with a tree. The tree's changes run in one
// write transaction from the start, committed by Commit and at the end.
struct OpenTree {
    explicit OpenTree(const std::string& path, std::string root_name = "ZRCONFIG -- ROOT",
                      uint32_t max_file_size = 2097152000u) {
        pool = std::make_unique<Pager>();
        testing_pool::SetDatabaseOptions(pool->Options(), max_file_size);
        ok = pool->Open(path);
        tree = std::make_unique<TreeStore>(pool.get(), root_name);
        if (ok) {
            transaction = std::make_unique<WriteTransaction>(pool.get());
        }
        ok = ok && tree->OpenTree(TreeStore::kOpenCreate);
    }
    ~OpenTree() {
        if (transaction) {
            transaction->Commit();
            transaction.reset();
        }
    }
    // Commits what the tree changed so far and goes on in a new transaction.
    void Commit() {
        transaction->Commit();
        transaction.reset();
        transaction = std::make_unique<WriteTransaction>(pool.get());
    }
    // The verifier's findings, empty when the pool is sound.
    std::string Problems() const { return testsupport::ProblemLines(*pool); }

    std::unique_ptr<Pager> pool;
    std::unique_ptr<TreeStore> tree;
    std::unique_ptr<WriteTransaction> transaction;
    bool ok = false;
};

// A property record: total length, the NUL-terminated name, then `payload` bytes of value.
inline std::vector<uint8_t> Property(const std::string& name, size_t payload, uint8_t fill = 7) {
    std::vector<uint8_t> data(4 + name.size() + 1 + payload, fill);
    vell::StoreU32(data.data(), static_cast<uint32_t>(data.size()));
    std::copy(name.begin(), name.end(), data.begin() + 4);
    data[4 + name.size()] = 0;
    return data;
}

// A property record whose whole data is exactly `total` bytes.
inline std::vector<uint8_t> PropertyOfSize(const std::string& name, size_t total,
                                           uint8_t fill = 7) {
    return Property(name, total - 5 - name.size(), fill);
}

// Reads a property back whole; empty when it cannot be found.
inline std::vector<uint8_t> Read(TreeStore& tree, uint64_t node, const std::string& name) {
    uint32_t length = 0;
    if (tree.GetNodePropertyByName(node, name, nullptr, length) != Status::kOk) {
        return {};
    }
    std::vector<uint8_t> data(length);
    if (tree.GetNodePropertyByName(node, name, data.data(), length) != Status::kOk) {
        return {};
    }
    return data;
}

}  // namespace brindle::testing_tree
