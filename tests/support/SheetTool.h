#pragma once
// The workbooks of the sheet tests come from openpyxl (tests/peers/sheet_tool.py),
// and openpyxl reads back what the program writes, so neither side checks itself.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/Files.h"

// Makes the workbook NAME at `path`; a failure to make it fails the test.
void MakeSheetFixture(const std::string& name, const std::string& path);

// openpyxl's view of the workbook at `path`: one line per cell.
std::string ReadSheetBack(const std::string& path);

// A test with a folder of its own for task files and workbooks.
class TSheetFolderTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = TempFolder() + "quorvel-sheet-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        Dir = pattern + "/";
    }
    void TearDown() override { std::filesystem::remove_all(Dir); }
    std::string Path(const std::string& name) const { return Dir + name; }
    std::string Q(const std::string& name) const { return "'" + Path(name) + "'"; }
    // The path of the workbook NAME as the sheet tool makes it.
    std::string Fixture(const std::string& name) const {
        MakeSheetFixture(name, Path(name + ".xlsx"));
        return Path(name + ".xlsx");
    }
    std::string Dir;
};
