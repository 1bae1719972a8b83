#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brindle_diagnostics.h"
#include "vell/output.h"

namespace brindle {
namespace {

// A host's sink gets every line whole, however long; an empty sink drops them; the default
// writes them to standard output with a line end.
TEST(DiagnosticSinkTest, LinesGoWhereTheHostSays) {
    std::vector<std::string> lines;
    SetDiagnosticSink([&](std::string_view line) { lines.emplace_back(line); });
    vell::OutputLine("Page ref error");
    const std::string long_line(1000, 'x');
    vell::OutputText(long_line);
    EXPECT_EQ(lines, (std::vector<std::string>{"Page ref error", long_line}));

    SetDiagnosticSink(nullptr);
    testing::internal::CaptureStdout();
    vell::OutputLine("dropped");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    UseStandardOutputForDiagnostics();
    testing::internal::CaptureStdout();
    vell::OutputLine("Check thread join ok");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Check thread join ok\n");
    EXPECT_EQ(lines.size(), 2u);
}

}  // namespace
}  // namespace brindle
