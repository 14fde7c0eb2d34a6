// The fixed reasons for Winsock start-up, socket and reverse-lookup errors.
#include <stddef.h>

#include <string>

#include <gtest/gtest.h>

#include "pure/errortext.h"

namespace {

struct ErrorCase {
    int code;
    const char* text;
};

const ErrorCase kSocketCases[] = {
    {10004, "Blocking call cancelled"},
    {10013, "SO_BROADCAST not enabled"},
    {10014, "Illegal socket address"},
    {10022, "Bind not called"},
    {10024, "No more sockets available"},
    {10035, "Operation would cause block"},
    {10036, "Blocking operation in progress"},
    {10037, "Non-blocking call in progress"},
    {10038, "Illegal socket value"},
    {10045, "Operation not supported"},
    {10048, "Port in use"},
    {10050, "Network subsystem failed"},
    {10051, "Network unreachable"},
    {10055, "No buffer space available"},
    {10056, "Socket already connected"},
    {10057, "Socket not connected"},
    {10060, "Operation timed out"},
    {10093, "WSAStartup not called"},
};

const ErrorCase kStartupCases[] = {
    {10091, "Network subsystem not ready"},    {10092, "Incorrect Winsock version"},
    {10036, "Blocking operation in progress"}, {10067, "Task limit reached"},
    {10014, "Invalid winsock data"},
};

const ErrorCase kHostCases[] = {
    {11001, "Host not found"},
    {11002, "Try again"},
    {11003, "Non-recoverable error"},
    {11004, "No RDNS data available"},
};

// Codes worth a look beyond the tables: zero, neighbours of table entries,
// the other table's codes, and extremes.
const int kOtherCodes[] = {0,     1,     -1,    10000, 10003,      10005,
                           10023, 10049, 10061, 10091, 10092,      10094,
                           11000, 11005, 10067, 65535, 2147483647, -2147483647 - 1};

template <size_t N> bool InTable(const ErrorCase (&table)[N], int code)
{
    for (const ErrorCase& c : table)
        if (c.code == code)
            return true;
    return false;
}

TEST(SocketErrorText, EveryCodeOfTheTable)
{
    for (const ErrorCase& c : kSocketCases) {
        SCOPED_TRACE(c.code);
        ASSERT_NE(SocketErrorText(c.code), nullptr);
        EXPECT_STREQ(SocketErrorText(c.code), c.text);
    }
}

TEST(SocketErrorText, EveryOtherCodeIsUnknown)
{
    for (int code : kOtherCodes) {
        if (InTable(kSocketCases, code))
            continue;
        SCOPED_TRACE(code);
        EXPECT_STREQ(SocketErrorText(code), "Unknown error");
    }
    // No code between them has a text of its own beyond the eighteen.
    int known = 0;
    for (int code = 9000; code <= 12000; ++code)
        if (std::string(SocketErrorText(code)) != "Unknown error")
            ++known;
    EXPECT_EQ(known, 18);
}

TEST(SocketErrorText, EveryTextFitsTheLongestLine)
{
    // A reason is at most 30 characters, so prefix, ": " and reason fit 256.
    for (const ErrorCase& c : kSocketCases) {
        SCOPED_TRACE(c.code);
        EXPECT_LE(std::string(SocketErrorText(c.code)).size(), 30u);
    }
}

TEST(StartupErrorText, EveryCodeOfTheTable)
{
    for (const ErrorCase& c : kStartupCases) {
        SCOPED_TRACE(c.code);
        ASSERT_NE(StartupErrorText(c.code), nullptr);
        EXPECT_STREQ(StartupErrorText(c.code), c.text);
    }
}

TEST(StartupErrorText, EveryOtherResultIsNotReported)
{
    for (int code : kOtherCodes) {
        if (InTable(kStartupCases, code))
            continue;
        SCOPED_TRACE(code);
        EXPECT_EQ(StartupErrorText(code), nullptr);
    }
    int known = 0;
    for (int code = 9000; code <= 12000; ++code)
        if (StartupErrorText(code) != nullptr)
            ++known;
    EXPECT_EQ(known, 5);
}

TEST(StartupErrorText, SharedCodesKeepTheirOwnStartupTexts)
{
    // 10014 reads differently at start-up than after a socket call.
    EXPECT_STREQ(StartupErrorText(10014), "Invalid winsock data");
    EXPECT_STREQ(SocketErrorText(10014), "Illegal socket address");
    EXPECT_STREQ(StartupErrorText(10036), SocketErrorText(10036));
}

TEST(HostErrorText, EveryCodeOfTheTable)
{
    for (const ErrorCase& c : kHostCases) {
        SCOPED_TRACE(c.code);
        ASSERT_NE(HostErrorText(c.code), nullptr);
        EXPECT_STREQ(HostErrorText(c.code), c.text);
    }
}

TEST(HostErrorText, EveryOtherCodeIsUnknown)
{
    for (int code : kOtherCodes) {
        if (InTable(kHostCases, code))
            continue;
        SCOPED_TRACE(code);
        EXPECT_STREQ(HostErrorText(code), "Unknown error");
    }
    int known = 0;
    for (int code = 9000; code <= 12000; ++code)
        if (std::string(HostErrorText(code)) != "Unknown error")
            ++known;
    EXPECT_EQ(known, 4);
}

} // namespace
