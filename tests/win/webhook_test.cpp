// The web hook in-process against the support library's hook server: each
// format's body, the per-caller minute, retries, a full queue's drops, Stop
// on a post that hangs, the settings as loaded and the dialog's Send test.
#include "harness.h"

#include "dialog_driver.h"

#include <string>

#include "app/app.h"
#include "outputs/outputs.h"
#include "resource.h"

using namespace harness;

namespace {

ScanRecord Scan(const char* caller, ScanKind kind = kScanConnect)
{
    ScanRecord r = NewScanRecord(kind);
    r.caller = NetAddressFromV4(inet_addr(caller));
    r.callerPort = 40000;
    r.local = NetAddressFromV4(inet_addr("127.0.0.1"));
    r.port = 31337;
    r.highPort = 31337;
    return r;
}

std::string Computer()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? name : "";
}

class WebhookTest : public AppTest {
  protected:
    void PrepareSettings() override
    {
        ASSERT_TRUE(server_.Start());
        WriteText(kValueWebhookUrl, server_.Url());
    }
    // Starts the sender afresh as the dialog's OK does.
    void Use(const std::string& url, DWORD format)
    {
        lstrcpyA(AppState.WebhookUrl, url.c_str());
        AppState.WebhookFormat = format;
        WebhookStart();
    }
    HookServer server_;
};

TEST_F(WebhookTest, EachFormatPostsItsBody)
{
    const ScanRecord scan = Scan("203.0.113.5");
    const std::string text = "Scan from 203.0.113.5:40000 on 127.0.0.1:31337 (host.example)";
    const struct {
        DWORD format;
        std::string type, body;
    } cases[] = {
        {0, "application/json",
         "{\"event\":\"scan\",\"kind\":\"connect\",\"caller\":\"203.0.113.5\",\"callerPort\":40000,"
         "\"local\":\"127.0.0.1\",\"port\":31337,\"rdns\":\"host.example\","
         "\"knownAs\":\"Back Orifice\",\"trusted\":false,"
         "\"verified\":true,\"time\":\"" +
             std::string(scan.time) + "\",\"computer\":\"" + Computer() + "\",\"text\":\"" + text +
             "\"}"},
        {1, "text/plain; charset=utf-8", text},
        {2, "application/json", "{\"text\":\"" + text + "\"}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        Use(server_.Url("/f" + std::to_string(c.format)), c.format);
        size_t before = server_.Count();
        WebhookScanNamed(scan, "host.example");
        ASSERT_TRUE(server_.WaitForRequests(before + 1));
        HookRequest r = server_.Requests().back();
        EXPECT_EQ(r.method, "POST");
        EXPECT_EQ(r.path, "/f" + std::to_string(c.format));
        EXPECT_EQ(r.headers["content-type"], c.type);
        EXPECT_EQ(r.headers.count("title"), c.format == 1 ? 1u : 0u);
        if (c.format == 1) {
            EXPECT_EQ(r.headers["title"], "Harbinel on " + Computer());
        }
        EXPECT_EQ(r.body, c.body);
    }
}

TEST_F(WebhookTest, OnePostPerCallerAMinuteWithTheScansHeldBack)
{
    ScanRecord trusted = Scan("198.51.100.9");
    trusted.trusted = true;
    WebhookScanNamed(Scan("203.0.113.5"), NULL);
    WebhookScanNamed(Scan("203.0.113.5"), NULL);
    WebhookScanNamed(trusted, NULL);
    WebhookScanNamed(Scan("203.0.113.5"), NULL);
    WebhookScanNamed(Scan("198.51.100.2", kScanStealth), "");
    WebhookSkipClock(60000);
    WebhookScanNamed(Scan("203.0.113.5"), NULL);
    ASSERT_TRUE(server_.WaitForRequests(3));
    // Posts go in order, so anything the limit or the trust let through
    // would have come before the third.
    std::vector<HookRequest> posts = server_.Requests();
    ASSERT_EQ(posts.size(), 3u);
    EXPECT_NE(posts[0].body.find("\"caller\":\"203.0.113.5\""), std::string::npos);
    EXPECT_NE(posts[1].body.find("\"kind\":\"stealth\""), std::string::npos);
    EXPECT_NE(posts[2].body.find("31337 and 2 more scans\"}"), std::string::npos) << posts[2].body;
}

TEST_F(WebhookTest, AFailedPostIsRetriedAndTheErrorLoggedOnce)
{
    server_.FailNext(2, 500);
    WebhookScanNamed(Scan("203.0.113.5"), NULL);
    // 5 s, then 10 s after the first failure.
    ASSERT_TRUE(server_.WaitForRequests(3, 25000)) << server_.Count();
    std::vector<HookRequest> posts = server_.Requests();
    EXPECT_EQ(posts[0].body, posts[2].body);
    EXPECT_EQ(FindLogLine("Web hook error: HTTP 500"), FindLogLine("Web hook error: ", true));
    EXPECT_EQ(FindLogLine("Web hook error: ", true, FindLogLine("Web hook error: ", true) + 1), -1)
        << LogDump();
}

// A server that refuses a post will refuse it again: it is dropped and the
// next caller's post goes at once.
TEST_F(WebhookTest, AClientErrorIsNotRetried)
{
    server_.FailNext(1, 400);
    WebhookScanNamed(Scan("203.0.113.5"), NULL);
    ASSERT_TRUE(server_.WaitForRequests(1));
    WebhookScanNamed(Scan("203.0.113.6"), NULL);
    ASSERT_TRUE(server_.WaitForRequests(2));
    EXPECT_NE(server_.Requests()[1].body.find("\"caller\":\"203.0.113.6\""), std::string::npos);
    EXPECT_TRUE(WaitForLogLine("Web hook error: HTTP 400, 1 alert dropped", false)) << LogDump();
}

// An answer that comes a byte a second would take over a minute; the post
// gives up at its deadline.
TEST_F(WebhookTest, ATricklingAnswerEndsAtTheDeadline)
{
    server_.Trickle(true);
    WebhookScanNamed(Scan("203.0.113.5"), NULL);
    EXPECT_TRUE(WaitForLogLine("Web hook error: No whole answer within 30 s", false, 35000))
        << LogDump();
}

TEST_F(WebhookTest, AFullQueueDropsTheOldestAndSaysSoInTheLogAndTheNextPost)
{
    const int port = FreePort();
    Use("http://127.0.0.1:" + std::to_string(port) + "/down", 0);
    WebhookScanNamed(Scan("10.0.0.1"), NULL);
    ASSERT_TRUE(WaitForLogLine("Web hook error: ", true)) << LogDump();
    // The first post is held for its retry; 1,000 wait; two more push out
    // the two oldest of them.
    for (int i = 0; i < 1002; ++i) {
        ScanRecord r = Scan("10.1.0.0");
        r.caller = NetAddressFromV4(htonl(0x0A010000u + (u_long)i));
        WebhookScanNamed(r, NULL);
    }
    ASSERT_TRUE(WaitForLogLine("Web hook: 2 alerts dropped", false)) << LogDump();
    HookServer revived;
    ASSERT_TRUE(revived.Start(port));
    ASSERT_TRUE(revived.WaitForRequests(2, 15000));
    std::vector<HookRequest> posts = revived.Requests();
    EXPECT_NE(posts[0].body.find("\"caller\":\"10.0.0.1\""), std::string::npos);
    EXPECT_NE(posts[1].body.find("\"caller\":\"10.1.0.2\""), std::string::npos) << posts[1].body;
    EXPECT_NE(posts[1].body.find(" (2 alerts dropped)\"}"), std::string::npos) << posts[1].body;
}

TEST_F(WebhookTest, StopEndsAPostThatHangsAndCountsWhatWasNotDelivered)
{
    server_.NeverAnswer(true);
    WebhookScanNamed(Scan("203.0.113.5"), NULL);
    WebhookScanNamed(Scan("203.0.113.6"), NULL);
    ASSERT_TRUE(server_.WaitForRequests(1));
    const int threads = ThreadCount();
    DWORD start = GetTickCount();
    WebhookStop();
    EXPECT_LT(GetTickCount() - start, 1500u);
    // Stop ends the worker's wait, and the worker closes its own request:
    // none is left inside WinHTTP with a handle Stop closed under it.
    EXPECT_TRUE(PumpUntil([&] { return ThreadCount() < threads; }, 3000)) << ThreadCount();
    EXPECT_GE(FindLogLine("Web hook: 2 alerts not delivered"), 0) << LogDump();
    // The request left behind is its worker's to close: a new sender posts
    // while the old request may still be in WinHTTP's hands.
    server_.NeverAnswer(false);
    WebhookStart();
    WebhookScanNamed(Scan("203.0.113.7"), NULL);
    ASSERT_TRUE(server_.WaitForRequests(2));
    EXPECT_NE(server_.Requests()[1].body.find("\"caller\":\"203.0.113.7\""), std::string::npos);
}

TEST_F(WebhookTest, SettingsLoadOnlyAUrlAndAFormatThatCanBeUsed)
{
    const struct {
        const char* url;
        DWORD format;
        const char* loadedUrl;
        DWORD loadedFormat;
    } cases[] = {
        {"https://hook.example/x", 2, "https://hook.example/x", 2},
        {"ftp://hook.example/", 1, "", 1},
        {"http://hook example/", 3, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        ASSERT_TRUE(ExitApp());
        WriteText(kValueWebhookUrl, c.url);
        WriteDword(kValueWebhookFormat, c.format);
        ASSERT_TRUE(StartApp());
        EXPECT_STREQ(AppState.WebhookUrl, c.loadedUrl);
        EXPECT_EQ(AppState.WebhookFormat, c.loadedFormat);
        EXPECT_EQ(AppState.Webhook != NULL, c.loadedUrl[0] != '\0');
    }
}

TEST_F(WebhookTest, SendTestPostsToTheTypedUrlAndShowsTheAnswer)
{
    HookServer other;
    ASSERT_TRUE(other.Start());
    other.FailNext(1, 503);
    dialogs::RunScript([&] {
        dialogs::PostCommand(IDM_ALERTS);
        HWND dialog = dialogs::WaitForWindow(AppState.MainWindow, "Alerts and Log");
        ASSERT_NE(dialog, (HWND)NULL);
        SetDlgItemTextA(dialog, IDC_AL_WEBHOOK, other.Url("/typed").c_str());
        for (const char* shown : {"Failed: HTTP 503", "Sent: HTTP 200"}) {
            dialogs::Click(dialog, IDC_AL_WEBHOOKTEST);
            EXPECT_TRUE(dialogs::WaitFor(
                [&] { return ItemText(dialog, IDC_AL_WEBHOOKRESULT) == shown; }, 15000))
                << ItemText(dialog, IDC_AL_WEBHOOKRESULT);
        }
        SetDlgItemTextA(dialog, IDC_AL_WEBHOOK, "http//typo");
        dialogs::Click(dialog, IDC_AL_OK);
        EXPECT_EQ(ItemText(dialog, IDC_AL_PROBLEM), "Not an http:// or https:// URL: http//typo");
        dialogs::Click(dialog, IDC_AL_CANCEL);
        dialogs::WaitGone(dialog);
    });
    std::vector<HookRequest> posts = other.Requests();
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[1].path, "/typed");
    EXPECT_NE(posts[1].body.find("\"text\":\"Test alert from Harbinel: Scan from 127.0.0.1"),
              std::string::npos)
        << posts[1].body;
    EXPECT_EQ(server_.Count(), 0u);
}

} // namespace
