#include "vell/diagnostic_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "support/temp_dir.h"
#include "vell/date_time.h"

namespace vell {
namespace {

// Points the registry stand-in at a file of the test's own for its lifetime.
class RegistryFile {
public:
    RegistryFile(const testsupport::TempDir& dir, const std::string& text)
        : path_(dir.File("registry")) {
        std::ofstream(path_) << text;
        setenv("VELMORA_REGISTRY", path_.c_str(), 1);
    }
    ~RegistryFile() { unsetenv("VELMORA_REGISTRY"); }

private:
    std::string path_;
};

TEST(DiagnosticLogTest, InstallPathMatchesIgnoringCaseAndDropsOneBackslash) {
    testsupport::TempDir dir;
    {
        RegistryFile registry(dir, "Version=9\ninstallpath=C:\\P\\\\\nInstallPath=second\n");
        EXPECT_EQ(GetInstallPath(), "C:\\P\\");  // the first match; one backslash removed
    }
    {
        RegistryFile registry(dir, "Other=1\n");
        EXPECT_EQ(GetInstallPath(), "");
    }
    setenv("VELMORA_REGISTRY", dir.File("missing").c_str(), 1);
    EXPECT_EQ(GetInstallPath(), "");
    unsetenv("VELMORA_REGISTRY");
}

TEST(DiagnosticLogTest, AppendsToTheDailyFileOrDropsWithoutAnInstallPath) {
    testsupport::TempDir dir;
    {
        RegistryFile registry(dir, "InstallPath=" + dir.path().string() + "\n");
        EXPECT_FALSE(WriteLog(""));
        EXPECT_TRUE(WriteLog("first line"));
        EXPECT_TRUE(WriteLogf("second %d", 2));
        DateTime now = DateTime::Now();
        std::string name = dir.path().string() + "/log/" + std::to_string(now.Year()) + "-" +
                           std::to_string(now.Month()) + "-" + std::to_string(now.Day()) +
                           "-zrdm.log";
        std::ifstream file(name);
        ASSERT_TRUE(file.good()) << name;
        std::string line;
        std::getline(file, line);
        EXPECT_EQ(line.substr(19), "\tfirst line");
        std::getline(file, line);
        EXPECT_EQ(line.substr(19), "\tsecond 2");
    }
    RegistryFile empty(dir, "");
    std::filesystem::remove_all(dir.path() / "log");
    EXPECT_TRUE(WriteLog("dropped"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "log"));
}

}  // namespace
}  // namespace vell
