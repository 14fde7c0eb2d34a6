// The built-in table of trojans and their ports: pairs of strings, walked
// until an empty name.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "pure/trojans.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> Rows;

const Rows kExpectedRows = {
    {"DeepThroat", "41, 999, 2140, 3150, 6670, 6671, 60000"},
    {"Subseven", "2773, 2774, 6711, 6712, 6713, 7215, 27374, 54283"},
    {"Netspy", "1024, 1033"},
    {"NetBus", "12345, 12346, 20034"},
    {"Back Orifice", "1349, 31337, 31338, 54320"},
};

// Walks the table as the dialog does; stops after a generous number of rows
// so that a missing end cannot run away.
Rows WalkTable(const char** end)
{
    Rows rows;
    const char* s = TrojanPortTable;
    while (*s != '\0' && rows.size() < 100) {
        const char* ports = NextTableString(s);
        rows.emplace_back(s, ports);
        s = NextTableString(ports);
    }
    *end = s;
    return rows;
}

TEST(TrojanPortTable, FivePairsInStoredOrder)
{
    const char* end = nullptr;
    const Rows rows = WalkTable(&end);
    ASSERT_EQ(rows.size(), 5u);
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(kExpectedRows[i].first);
        EXPECT_EQ(rows[i].first, kExpectedRows[i].first);
        EXPECT_EQ(rows[i].second, kExpectedRows[i].second);
    }
}

TEST(TrojanPortTable, EndsWithTheEmptyNameRightAfterTheLastPair)
{
    const char* end = nullptr;
    WalkTable(&end);
    size_t stored = 0;
    for (const auto& row : kExpectedRows)
        stored += row.first.size() + 1 + row.second.size() + 1;
    EXPECT_EQ((size_t)(end - TrojanPortTable), stored);
    EXPECT_EQ(*end, '\0');
}

TEST(NextTableString, StepsPastTheTerminator)
{
    const char block[] = "ab\0\0c";
    EXPECT_EQ(NextTableString(block), block + 3);
    EXPECT_EQ(NextTableString(block + 3), block + 4); // an empty string is one byte
}

} // namespace
