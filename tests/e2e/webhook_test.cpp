// The web hook of the running program: a real scan reaches the hook server
// as JSON, and a server that never answers costs a timeout line while the
// window goes on answering.
#include "driver.h"

#include <string>

namespace e2e {
namespace {

std::wstring LogText(HWND main)
{
    std::wstring all;
    for (const std::wstring& line : LogLines(main))
        all += line + L"\n";
    return all;
}

class WebhookTest : public HarbinelTest {
  protected:
    // Stores the hook and one port, starts the program and listens.
    int StartHooked()
    {
        EXPECT_TRUE(server_.Start());
        WriteText("WebhookUrl", server_.Url());
        const int port = FreePort();
        WritePorts({port});
        StartProgram();
        Listen();
        return port;
    }
    HookServer server_;
};

TEST_F(WebhookTest, ARealScanReachesTheHookAsJson)
{
    const int port = StartHooked();
    Caller caller;
    ASSERT_TRUE(caller.Connect(port));
    // The post waits for the caller's name, 5 s at most.
    ASSERT_TRUE(server_.WaitForRequests(1, 15000));
    const std::string body = server_.Requests()[0].body;
    const std::string head = "{\"event\":\"scan\",\"kind\":\"connect\",\"caller\":\"127.0.0.1\","
                             "\"callerPort\":" +
                             std::to_string(caller.LocalPort()) +
                             ",\"local\":\"127.0.0.1\",\"port\":" + std::to_string(port) +
                             ",\"rdns\":";
    EXPECT_EQ(body.substr(0, head.size()), head) << body;
    EXPECT_NE(body.find("\"text\":\"Scan from 127.0.0.1:" + std::to_string(caller.LocalPort())),
              std::string::npos)
        << body;
}

TEST_F(WebhookTest, AServerThatNeverAnswersTimesOutWhileTheWindowAnswers)
{
    server_.NeverAnswer(true);
    const int port = StartHooked();
    Caller first;
    ASSERT_TRUE(first.Connect(port));
    DWORD slowest = 0;
    int unanswered = 0;
    bool logged = PumpUntil(
        [&] {
            DWORD start = GetTickCount();
            DWORD_PTR result = 0;
            if (!SendMessageTimeoutW(main_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 100, &result))
                ++unanswered;
            slowest = std::max(slowest, GetTickCount() - start);
            for (const std::wstring& line : LogLines(main_))
                if (line == L"Web hook error: The operation timed out")
                    return true;
            return false;
        },
        30000);
    EXPECT_TRUE(logged) << Narrow(LogText(main_));
    EXPECT_EQ(server_.Count(), 1u);
    EXPECT_EQ(unanswered, 0) << "slowest answer " << slowest << " ms";
    // The retry hangs too; Exit ends it and says what never went.
    ASSERT_TRUE(server_.WaitForRequests(2, 15000));
    ExitProgram();
}

} // namespace
} // namespace e2e
