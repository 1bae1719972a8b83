// repair on databases damaged on purpose (by damage_database, through the internal layers).

#include <filesystem>

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
              "repaired: key 'App': removed 1 more properties named 'host', kept the one a read "
              "by name returns\nsound now: " +
                  Database() + "-repaired (1 changes)\n");
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
    EXPECT_NE(check.out.find("1 problems, 1 leaked pages"), std::string::npos) << check.out;

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
    EXPECT_TRUE(FailsWith(Brindle({"repair"}), "cannot open the database"));
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

}  // namespace
}  // namespace tooltest
