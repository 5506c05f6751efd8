#include "SheetTool.h"

#include <gtest/gtest.h>

#include "ShellRun.h"

namespace {

TShellRun SheetTool(const std::string& arguments) {
    return RunShell(std::string(QUORVEL_PYTHON " '" QUORVEL_PEERS_DIR "/sheet_tool.py' ") + arguments + " 2>&1");
}

} // namespace

void MakeSheetFixture(const std::string& name, const std::string& path) {
    const TShellRun run = SheetTool("make " + name + " '" + path + "'");
    EXPECT_EQ(run.Status, 0) << run.Out;
}

std::string ReadSheetBack(const std::string& path) {
    const TShellRun run = SheetTool("read '" + path + "'");
    EXPECT_EQ(run.Status, 0) << run.Out;
    return run.Out;
}
