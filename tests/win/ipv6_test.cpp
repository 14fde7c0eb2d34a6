// Callers over IPv6 in-process: a caller from ::1 is logged with its
// address in brackets before its port, named, warned and hung up on like an
// IPv4 one, which beside it reads exactly as before; a trusted ::1 is
// logged quietly.
#include "harness.h"

#include <string>
#include <vector>

#include "app/app.h"
#include "resource.h"

using namespace harness;

namespace {

class IPv6Test : public AppTest {};

// The block of the caller whose address line is `line`, from its head to
// its hang-up, once its name has come.
std::vector<std::string> BlockOf(const std::string& line)
{
    std::vector<std::string> block;
    PumpUntil([&] {
        int at = FindLogLine(line);
        return at > 0 && at + 4 < LogCount() && StartsWith(LogLine(at + 1), kRdnsPrefix) &&
               LogLine(at + 4) == "Scan blocked";
    });
    int at = FindLogLine(line);
    for (int i = at - 1; at > 0 && i <= at + 4 && i < LogCount(); ++i)
        block.push_back(StartsWith(LogLine(i), kRdnsPrefix)        ? kRdnsPrefix
                        : StartsWith(LogLine(i), kTimestampPrefix) ? kTimestampPrefix
                                                                   : LogLine(i));
    return block;
}

TEST_F(IPv6Test, CallersOverIPv6AreServedBesideIPv4Ones)
{
    const int port = FreePort();
    AddPortToList(port);
    Command(IDC_LISTEN);
    // Both families listen, and the port is counted once.
    ASSERT_EQ(LogLines(), (std::vector<std::string>{ListeningLine(1), PortsLine({port})}));
    const std::string p = std::to_string(port);
    const struct {
        const char* name;
        bool v6;
        const char* trusted;
        const char* head;
        const char* from;
        const char* to;
    } rows[] = {
        {"IPv6", true, "", "Scan detected", "[::1]:", " -> [::1]:"},
        {"IPv4 beside it", false, "", "Scan detected", "127.0.0.1:", " -> 127.0.0.1:"},
        {"trusted ::1", true, "::1", "Scan detected (trusted)", "[::1]:", " -> [::1]:"},
        {"::1 trusted, IPv4 not", false, "::1", "Scan detected", "127.0.0.1:", " -> 127.0.0.1:"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        char skipped[8];
        ParseTrustedLines(row.trusted, &AppState.Trusted, skipped, sizeof skipped);
        Caller caller;
        bool connected = row.v6 ? caller.ConnectV6(port) : caller.Connect(port);
        if (!connected && row.v6)
            GTEST_SKIP() << "no IPv6 loopback on this machine";
        ASSERT_TRUE(connected);
        ASSERT_TRUE(caller.WaitClosed());
        EXPECT_EQ(caller.Received(), kWarningLine);
        const std::string line =
            std::string("   Accept: ") + row.from + std::to_string(caller.LocalPort()) + row.to + p;
        EXPECT_EQ(BlockOf(line),
                  (std::vector<std::string>{row.head, line, kRdnsPrefix, kTimestampPrefix,
                                            "   Message sent", "Scan blocked"}))
            << LogDump();
    }
    Command(IDC_LISTEN);
    EXPECT_EQ(LogLine(LogCount() - 1), CloseLine(1));
}

} // namespace
