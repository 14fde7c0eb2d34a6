// The web hook of the running program: a real scan reaches the hook server
// as JSON, and a server that never answers costs a timeout line while the
// window goes on answering.
#include "driver.h"

#include <wincrypt.h>

#include <string>

namespace e2e {
namespace {

std::string Env(const char* name)
{
    const char* value = getenv(name);
    return value != NULL ? value : "";
}

std::wstring LogText(HWND main)
{
    std::wstring all;
    for (const std::wstring& line : LogLines(main))
        all += line + L"\n";
    return all;
}

// Whether the log says a post failed.
bool Refused(HWND main)
{
    for (const std::wstring& line : LogLines(main))
        if (line.rfind(L"Web hook error: ", 0) == 0)
            return true;
    return false;
}

class WebhookTest : public HarbinelTest {
  protected:
    // Stores the hook and one port, starts the program and listens.
    int StartHooked()
    {
        EXPECT_TRUE(server_.Start());
        WriteText(kValueWebhookUrl, server_.Url());
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
                if (line == L"Web hook error: No whole answer within 30 s")
                    return true;
            return false;
        },
        35000);
    EXPECT_TRUE(logged) << Narrow(LogText(main_));
    EXPECT_EQ(server_.Count(), 1u);
    EXPECT_EQ(unanswered, 0) << "slowest answer " << slowest << " ms";
    // The retry hangs too, and Exit still ends the program.
    ASSERT_TRUE(server_.WaitForRequests(2, 15000));
    ExitProgram();
}

// The certificate checks are the system's: a server whose authority is not
// trusted is refused, and the same server is taken once its authority is
// in the root store (which Wine reads as a program starts).
TEST_F(WebhookTest, HttpsGoesOnlyToAServerTheSystemTrusts)
{
    const std::string port = Env("HARBINEL_TLS_PORT");
    if (port.empty())
        GTEST_SKIP() << "no TLS hook server: run through scripts/tls-hook.sh run";
    const std::wstring out = Widen(Env("HARBINEL_TLS_OUT"));
    WriteText(kValueWebhookUrl, "https://127.0.0.1:" + port + "/tls");
    const int listening = FreePort();
    WritePorts({listening});
    for (bool trusted : {false, true}) {
        SCOPED_TRACE(trusted ? "trusted" : "not trusted");
        StartProgram();
        Listen();
        Caller caller;
        ASSERT_TRUE(caller.Connect(listening));
        if (trusted) {
            ASSERT_TRUE(PumpUntil([&] { return !ReadFileBytes(out).empty(); }, 15000))
                << Narrow(LogText(main_));
            EXPECT_EQ(ReadFileBytes(out).rfind("/tls|{\"event\":\"scan\",\"kind\":\"connect\"", 0),
                      0u)
                << ReadFileBytes(out);
            break;
        }
        ASSERT_TRUE(PumpUntil([&] { return Refused(main_); }, 15000)) << Narrow(LogText(main_));
        EXPECT_EQ(ReadFileBytes(out), "");
        ExitProgram();
        exited_ = false;
        WriteSwitch(kValueConnected, 0); // Listen, below, starts it again
        // The machine's root store is where an authority for every user
        // goes; Wine 8's chain engine reads only the user's, so both get it.
        const std::string der = ReadFileBytes(Widen(Env("HARBINEL_TLS_CA")));
        for (DWORD where : {CERT_SYSTEM_STORE_LOCAL_MACHINE, CERT_SYSTEM_STORE_CURRENT_USER}) {
            HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, where, L"Root");
            ASSERT_TRUE(root != NULL);
            EXPECT_TRUE(CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING,
                                                         (const BYTE*)der.data(), (DWORD)der.size(),
                                                         CERT_STORE_ADD_REPLACE_EXISTING, NULL));
            CertCloseStore(root, 0);
        }
    }
}

} // namespace
} // namespace e2e
