// The program run on each scan, from the outside: a command line typed into
// the Alerts and Log dialog runs the argument recorder when a real caller on
// 127.0.0.1 connects, with the caller, its port and the port it called, and
// the line is stored in the settings key.
#include "driver.h"

#include <string>

namespace e2e {
namespace {

class ProgramE2E : public HarbinelTest {
  protected:
    Recorder recorder_;
};

TEST_F(ProgramE2E, ARealScanRunsTheCommandTypedInTheDialog)
{
    const int port = FreePort();
    WritePorts({port});
    StartProgram();
    HWND dialog = OpenDialog(IDM_ALERTS, L"Alerts and Log");
    ASSERT_TRUE(dialog != NULL);
    const std::string command =
        "\"" + Recorder::Path() + "\" {caller} {port} {callerport} {kind} {count} {rdns}";
    SetDlgItemTextW(dialog, IDC_AL_PROGRAM, Widen(command).c_str());
    PostMessageW(GetDlgItem(dialog, IDC_AL_OK), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitForWindowGone(dialog));
    Listen();

    Caller caller;
    ASSERT_TRUE(caller.ConnectFrom("127.0.0.1", port));
    // The name lookup may take its full 5 s before the program runs.
    ASSERT_TRUE(PumpUntil([&] { return !recorder_.Runs().empty(); }, 15000));
    const RecordedRun run = recorder_.Runs()[0];
    ASSERT_EQ(run.args.size(), 7u);
    EXPECT_EQ(run.args[1], "127.0.0.1");
    EXPECT_EQ(run.args[2], std::to_string(port));
    EXPECT_EQ(run.args[3], std::to_string(caller.LocalPort()));
    EXPECT_EQ(run.args[4], "connect");
    EXPECT_EQ(run.args[5], "1");

    ExitProgram();
    EXPECT_EQ(ReadValue(kValueRunOnScan).AsText(), command);
    EXPECT_EQ(ReadValue(kValueRunOnScan).type, (DWORD)REG_SZ);
}

} // namespace
} // namespace e2e
