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

// A table of the same form with a port in two rows and one row with none.
const char kTwoRows[] = "Alpha\0"
                        "7, 12345\0"
                        "Beta\0"
                        "\0"
                        "Gamma\0"
                        "12345, 99\0"
                        "";

TEST(TrojanPortTable, KnownPortLineNamesEveryTrojanOfThePort)
{
    const struct {
        const char* table;
        int32_t port;
        const char* line;
    } rows[] = {
        {TrojanPortTable, 31337, "   Port 31337: Back Orifice"},
        {TrojanPortTable, 1349, "   Port 1349: Back Orifice"},
        {TrojanPortTable, 41, "   Port 41: DeepThroat"},
        {TrojanPortTable, 3133, ""}, // a prefix of a listed port is not it
        {TrojanPortTable, 1, ""},
        {kTwoRows, 12345, "   Port 12345: Alpha, Gamma"},
        {kTwoRows, 99, "   Port 99: Gamma"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.port);
        char line[kKnownPortLineSize];
        BuildKnownPortLineN(row.table, row.port, line, sizeof line);
        EXPECT_STREQ(line, row.line);
    }
    char tiny[12];
    BuildKnownPortLineN(kTwoRows, 12345, tiny, sizeof tiny);
    EXPECT_STREQ(tiny, "   Port 123");
}

TEST(TrojanPortTable, PortsComeOnceInOrderWithinTheCap)
{
    int32_t ports[64] = {};
    ASSERT_EQ(TrojanTablePorts(kTwoRows, ports, 64), 3);
    EXPECT_EQ(std::vector<int32_t>(ports, ports + 3), (std::vector<int32_t>{7, 99, 12345}));
    ASSERT_EQ(TrojanTablePorts(kTwoRows, ports, 2), 2);
    EXPECT_EQ(std::vector<int32_t>(ports, ports + 2), (std::vector<int32_t>{7, 99}));
    EXPECT_EQ(TrojanTablePorts(TrojanPortTable, ports, 64), 24);
    EXPECT_EQ(ports[0], 41);
}

} // namespace
