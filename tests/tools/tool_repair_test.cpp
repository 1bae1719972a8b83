// repair on databases damaged on purpose (by damage_database, through the internal layers).

#include <filesystem>
#include <functional>
#include <sstream>

#include "tool_fixture.h"

namespace tooltest {
namespace {

class RepairTest : public ToolTest {
protected:
    void Damage(std::initializer_list<std::string> how) {
        Args args = {Database()};
        args.insert(args.end(), how.begin(), how.end());
        const ToolRun run = RunProgram(BRINDLE_DAMAGE_PATH, args);
        ASSERT_EQ(run.status, 0) << run.err;
    }
    void Build() {
        Ok({"mkkey", "-p", "App/net"});
        Ok({"set", "App", "host", "first"});
        Ok({"set", "App", "port", "80", "-t", "int"});
        Ok({"set", "App/net", "long", std::string(3000, 'x')});
    }
};

TEST_F(RepairTest, KeepsThePropertyAReadReturnsInItsPlaceOnACopy) {
    Build();
    Damage({"duplicate", "App", "host", "second"});
    const std::string damaged = Ok({"props", "App"});
    ASSERT_EQ(damaged, "host  string    first\nport  int       80\nhost  string    second\n");

    const std::string report = Ok({"repair"});
    EXPECT_EQ(report,
              "repaired: key 'App': removed 1 more property named 'host', kept the one a read "
              "by name returns\nsound now: " +
                  Database() + "-repaired (1 change)\n");
    EXPECT_EQ(Ok({"props", "App"}), damaged) << "the original is left as it was";
    const std::string copy = Database() + "-repaired";
    EXPECT_EQ(BrindleOn(copy, {"props", "App"}).out, "host  string    first\nport  int       80\n");
    EXPECT_EQ(BrindleOn(copy, {"check"}).status, 0);
    EXPECT_TRUE(FailsWith(Brindle({"repair"}), "a database exists at"));

    Ok({"repair", "--in-place"});
    EXPECT_EQ(Ok({"props", "App"}), "host  string    first\nport  int       80\n");
    EXPECT_EQ(Ok({"repair", "-o", File("second/db")}),
              "nothing to repair: " + Database() + " is sound\n");
    EXPECT_FALSE(std::filesystem::exists(File("second/db001")));
}

TEST_F(RepairTest, MendsPieceCountsLeaksAndABrokenFreeList) {
    Build();
    const std::string content = Ok({"dump"});
    Damage({"pieces", "App", "2"});
    Damage({"leak"});
    const ToolRun check = Brindle({"check"});
    EXPECT_EQ(check.status, 1);
    EXPECT_NE(check.out.find("1 problem, 1 leaked page"), std::string::npos) << check.out;

    const std::string report = Ok({"repair", "--in-place"});
    EXPECT_NE(report.find("piece count"), std::string::npos) << report;
    EXPECT_NE(report.find("returned to the free list"), std::string::npos) << report;
    EXPECT_NE(report.find("(2 changes)"), std::string::npos) << report;
    EXPECT_EQ(Brindle({"check"}).status, 0);

    Damage({"freelist"});
    EXPECT_EQ(Brindle({"check"}).status, 1);
    const std::string rebuilt = Ok({"repair", "--in-place"});
    EXPECT_NE(rebuilt.find("free list: broken"), std::string::npos) << rebuilt;
    EXPECT_EQ(Brindle({"check"}).status, 0) << Brindle({"check"}).out;
    EXPECT_EQ(Ok({"dump"}), content);
}

TEST_F(RepairTest, RefusesWhatItCannotUnderstandAndLeavesNoCopy) {
    std::filesystem::create_directories(File("db"));
    Write("db/db001", std::string(4096, 'j'));
    EXPECT_TRUE(FailsWith(Brindle({"repair"}), "cannot repair"));
    EXPECT_FALSE(std::filesystem::exists(Database() + "-repaired001"));

    std::filesystem::remove(Database() + "001");
    Build();
    Damage({"duplicate", "App", "port", "81"});
    Damage({"retype", "App"});
    const std::string files_before = Read("db/db001");
    for (const Args& args : {Args{"repair"}, Args{"repair", "--in-place"}}) {
        EXPECT_TRUE(FailsWith(Brindle(args), "faults repair does not mend")) << args.size();
    }
    EXPECT_EQ(Read("db/db001"), files_before) << "a refusal changes nothing";
    EXPECT_FALSE(std::filesystem::exists(Database() + "-repaired001"));
}

TEST_F(RepairTest, DamagedDataFilesAreNamedInOneLineWithWhatToDo) {
    Build();
    const std::string pristine = Read("db/db001");
    const ToolRun where = RunProgram(BRINDLE_DAMAGE_PATH, {Database(), "where", "App", "net"});
    ASSERT_EQ(where.status, 0) << where.err;
    int file = 0;
    std::size_t offset = 0, size = 0;
    std::istringstream(where.out) >> file >> offset >> size;
    ASSERT_EQ(file, 1);
    ASSERT_EQ(offset + size <= pristine.size(), true) << where.out;

    struct Damage {
        std::string what;
        std::function<void(std::string&)> apply;
        std::string named;  // what the line names: the damaged file, or the database
    };
    const Damage damages[] = {
        {"a page zeroed", [&](std::string& bytes) { bytes.replace(offset, size, size, '\0'); },
         Database()},
        {"an empty file", [](std::string& bytes) { bytes.clear(); }, Database() + "001"},
        {"a file cut short", [&](std::string& bytes) { bytes.resize(offset); }, Database() + "001"},
    };
    for (const Damage& damage : damages) {
        for (const Args& args : {Args{"tree", "-p"}, Args{"repair"}}) {
            std::string bytes = pristine;
            damage.apply(bytes);
            Write("db/db001", bytes);
            const ToolRun run = Brindle(args);
            const std::string context = damage.what + ", " + args[0] + ": " + run.err;
            EXPECT_EQ(run.status, 1) << context;
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << context;
            EXPECT_EQ(run.err.find("-repaired"), std::string::npos) << context;
            EXPECT_FALSE(std::filesystem::exists(Database() + "-repaired001")) << context;
            if (args[0] != "repair") {
                EXPECT_NE(run.err.find(damage.named), std::string::npos) << context;
            }
        }
    }
}

// A journal damaged after it was written is not cut silently: check reports it without
// touching it, and the first writing open keeps it aside, which check then reports.
TEST_F(RepairTest, CheckReportsAJournalFoundDamaged) {
    Build();
    Damage({"journal", "App"});
    const ToolRun check = Brindle({"check"});
    EXPECT_EQ(check.status, 1) << check.out << check.err;
    EXPECT_NE(check.out.find("the journal is damaged"), std::string::npos) << check.out;
    EXPECT_FALSE(std::filesystem::exists(Database() + ".journal-damaged"));

    Brindle({"set", "App", "after", "1"});
    EXPECT_TRUE(std::filesystem::exists(Database() + ".journal-damaged"));
    const ToolRun later = Brindle({"check"});
    EXPECT_NE(later.out.find("kept in " + Database() + ".journal-damaged"), std::string::npos)
        << later.out;
}

}  // namespace
}  // namespace tooltest
