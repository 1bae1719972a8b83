// The plan is what makes the stores' runs comparable and repeatable: a seed must give the
// same work every time, and the work must be what the table says it is.

#include "peer/workload_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "peer/lmdb_store.h"
#include "peer/measurement.h"
#include "peer/store_common.h"
#include "peer/workloads.h"
#include "support/temp_dir.h"

namespace peer {
namespace {

uint64_t Fingerprint(const WorkloadPlan& plan) {
    uint64_t sum = 0;
    for (size_t i = 0; i < plan.keys.size(); ++i) {
        sum += HashName(plan.keys[i].path) * (i + 1);
        for (size_t p = 0; p < plan.values[i].size(); ++p) {
            sum += HashProperty(plan.property_names[p], plan.values[i][p]);
        }
    }
    for (const PropertyPick& pick : plan.path_reads) {
        sum = sum * 31 + pick.key * 8 + pick.property;
    }
    for (const EditPick& edit : plan.edits) {
        sum = sum * 31 + HashProperty("", edit.value);
    }
    for (const WideKeyPlan& wide : plan.wide_keys) {
        sum += HashName(wide.children.front()) + wide.open_order.back();
    }
    return sum;
}

TEST(WorkloadPlanTest, ASeedGivesTheSameWorkEveryTime) {
    const uint64_t first = Fingerprint(MakePlan(PlanSizes::Quick(), 7));
    EXPECT_EQ(Fingerprint(MakePlan(PlanSizes::Quick(), 7)), first);
    EXPECT_NE(Fingerprint(MakePlan(PlanSizes::Quick(), 8)), first);
}

TEST(WorkloadPlanTest, TheFullTreeHasItsAdvertisedShape) {
    PlanSizes sizes = PlanSizes::Full();
    sizes.wide_children = {1000};  // the tree is what is checked here
    const WorkloadPlan plan = MakePlan(sizes, 1);
    ASSERT_EQ(plan.keys.size(), 8420u);
    EXPECT_EQ(plan.PropertyCount(), 8420u * 5);
    std::set<std::string> paths;
    for (size_t i = 0; i < plan.keys.size(); ++i) {
        const PlannedKey& key = plan.keys[i];
        ASSERT_LT(key.parent, static_cast<int>(i)) << "a parent comes before its children";
        if (key.parent < 0) {
            EXPECT_EQ(key.depth, 0);
            EXPECT_EQ(key.path, key.name);
        } else {
            EXPECT_EQ(key.depth, plan.keys[key.parent].depth + 1);
            EXPECT_EQ(key.path, plan.keys[key.parent].path + "\\" + key.name);
        }
        EXPECT_TRUE(paths.insert(key.path).second) << key.path;
        for (size_t p = 0; p < plan.property_names.size(); ++p) {
            EXPECT_EQ(plan.values[i][p].GetType(), plan.values[0][p].GetType());
        }
    }
    EXPECT_EQ(plan.delete_order.size(), 20u);
    EXPECT_EQ(plan.path_reads.size(), 200000u);
    EXPECT_EQ(plan.edits.size(), 50000u);
    for (const EditPick& edit : plan.edits) {
        ASSERT_LT(edit.target.key, plan.keys.size());
        ASSERT_EQ(edit.value.GetType(), plan.values[0][edit.target.property].GetType());
    }
}

TEST(WorkloadPlanTest, WideKeysHaveDistinctChildrenOpenedEachOnce) {
    const WorkloadPlan plan = MakePlan(PlanSizes::Quick(), 3);
    for (const WideKeyPlan& wide : plan.wide_keys) {
        const std::set<std::string> names(wide.children.begin(), wide.children.end());
        EXPECT_EQ(names.size(), wide.children.size());
        std::vector<uint32_t> order = wide.open_order;
        std::sort(order.begin(), order.end());
        for (uint32_t i = 0; i < order.size(); ++i) {
            ASSERT_EQ(order[i], i);
        }
        EXPECT_FALSE(std::is_sorted(wide.open_order.begin(), wide.open_order.end()));
    }
}

// A spent budget stops the wide phases; the rows say how far they got, and the opens never
// reach past the children appended.
TEST(WorkloadRunnerTest, ASpentBudgetCutsTheWidePhasesAndReportsTheCount) {
    testsupport::TempDir folder;
    LmdbStore store(folder.path());
    const WorkloadPlan plan = MakePlan(PlanSizes::Quick(), 5);
    const RunOptions options{0.0};
    StoreReport report;
    WorkloadRunner<LmdbStore>(store, plan, options, report).Run();
    ASSERT_EQ(report.rows.size(), 6 + 2 * plan.wide_keys.size());
    for (size_t row = 6; row < report.rows.size(); row += 2) {
        const Measurement& appends = report.rows[row];
        const Measurement& opens = report.rows[row + 1];
        EXPECT_LT(appends.done, appends.planned) << appends.workload;
        EXPECT_LE(opens.done, appends.done) << opens.workload;
    }
    for (size_t row = 0; row < 6; ++row) {
        EXPECT_EQ(report.rows[row].done, report.rows[row].planned) << report.rows[row].workload;
    }
    EXPECT_EQ(report.listed_entries, plan.keys.size() + plan.PropertyCount());
}

}  // namespace
}  // namespace peer
