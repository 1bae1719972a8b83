#include "vell/diagnostic_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "support/temp_dir.h"

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

// Writing the daily file is checked where the database logs a failed open.
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

}  // namespace
}  // namespace vell
