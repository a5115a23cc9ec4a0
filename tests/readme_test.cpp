// The README's tables of settings and status values are what operators configure and read
// by; a row that drifts from the code's tables misleads them without any build noticing.
#include "engine/SettingsTable.h"
#include "engine/StatusTable.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The cells of each row of the first table after the heading line, the quotes of the first
// cell dropped.
std::vector<std::vector<std::string>> TableAfter(const std::string& heading) {
    std::ifstream readme(CHRONEL_SOURCE_DIR "/README.md");
    std::string line;
    while (std::getline(readme, line) && line != heading) {
    }
    std::vector<std::vector<std::string>> rows;
    bool inTable = false;
    while (std::getline(readme, line)) {
        if (line.rfind('|', 0) != 0) {
            if (inTable) {
                break;
            }
            continue;
        }
        inTable = true;
        if (line.rfind("| \"", 0) != 0) {
            continue; // the header and its rule
        }
        std::vector<std::string> cells;
        std::istringstream cellsIn(line.substr(2));
        for (std::string cell; std::getline(cellsIn, cell, '|');) {
            cells.push_back(cell.substr(0, cell.find_last_not_of(' ') + 1));
            cells.back().erase(0, cells.back().find_first_not_of(' '));
        }
        cells[0] = cells[0].substr(1, cells[0].size() - 2);
        rows.push_back(cells);
    }
    return rows;
}

TEST(Readme, SettingsTableSaysWhatTheCodeDoes) {
    const auto rows = TableAfter("| Value | Type | Default | Range | Meaning |");
    ASSERT_EQ(rows.size(), kSettingsTable.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const SettingRow& row = kSettingsTable[i];
        SCOPED_TRACE(row.Name);
        ASSERT_GE(rows[i].size(), 4U);
        EXPECT_EQ(rows[i][0], row.Name);
        EXPECT_EQ(rows[i][1], row.Type == SettingType::Dword ? "DWORD" : "string");
        EXPECT_EQ(rows[i][2], row.DefaultText);
        EXPECT_EQ(rows[i][3], row.RangeText);
    }
}

TEST(Readme, StatusTableNamesEachStatusValue) {
    std::set<std::string> listed;
    for (const auto& row : TableAfter("### Status values")) {
        // "Sync" is a setting, listed there because the service writes it back.
        if (FindSetting(row[0]) == nullptr) {
            listed.insert(row[0]);
        }
    }
    std::set<std::string> written;
    for (const StatusRow& row : kStatusTable) {
        written.insert(row.Name);
    }
    EXPECT_EQ(listed, written);
}

} // namespace
