#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "md_exception.h"
#include "tree_test_util.h"
#include "vell/output.h"

namespace brindle {
namespace {

using testing_tree::OpenTree;
using testing_tree::Property;

// The child's endless work: grow subtrees with values and names that run over several
// pages, and delete them again, in a loop until it is killed.
[[noreturn]] void Churn(const std::string& path, unsigned seed) {
    vell::OutputCapture quiet;
    OpenTree db(path);
    if (!db.ok) {
        _exit(2);
    }
    TreeStore& tree = *db.tree;
    std::mt19937 random(seed);
    for (int round = 0;; ++round) {
        try {
            uint64_t top = 0;
            tree.AppendSubNode(tree.RootPage(), top, "top" + std::to_string(round));
            for (int i = 0; i < 6; ++i) {
                uint64_t child = 0;
                tree.AppendSubNode(top, child, std::string(200 + random() % 1500, 'c'));
                for (int p = 0; p < 4; ++p) {
                    auto data = Property("p" + std::to_string(p), random() % 2500);
                    tree.AppendNodeRecord(child, data.data(), static_cast<uint32_t>(data.size()));
                }
                if (random() % 2 == 0) {
                    tree.DeleteNodePropertyByName(child, "p1");
                }
            }
            std::vector<std::pair<uint64_t, std::string>> tops;
            tree.GetSubNodes(tree.RootPage(), tops);
            if (tops.size() > 2) {
                tree.DeleteNode(tops[random() % tops.size()].first);
            }
        } catch (const MDException&) {
            // A node left half-made by an earlier kill; go on with the next round.
        }
    }
}

TEST(TreeCrashTest, KilledWritersNeverLeaveLinksToFreedPages) {
    testsupport::TempDir dir;
    std::string path = dir.File("db");
    { ASSERT_TRUE(OpenTree(path).ok); }
    std::mt19937 random(77);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    int rounds = 0;
    for (; rounds < 40 && std::chrono::steady_clock::now() < deadline; ++rounds) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Churn(path, static_cast<unsigned>(rounds));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 150));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself, status " << status;

        vell::OutputCapture quiet;
        OpenTree db(path);
        ASSERT_TRUE(db.ok);
        VerifyReport report = TreeVerifier::Verify(*db.pool);
        ASSERT_EQ(report.freed_links, 0u) << "round " << rounds << ":\n" << report.Text();
    }
    EXPECT_GE(rounds, 10);
}

}  // namespace
}  // namespace brindle
