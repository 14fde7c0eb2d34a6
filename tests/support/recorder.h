// The argument recorder (argv_recorder.exe, built beside the test exes) as
// the tests use it: its path, the folder and event it is told about through
// the environment, and the runs it recorded.
#ifndef HARBINEL_TESTS_SUPPORT_RECORDER_H
#define HARBINEL_TESTS_SUPPORT_RECORDER_H

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/files.h"

namespace support {

struct RecordedRun {
    std::string folder;            // its current folder
    std::vector<std::string> args; // as CommandLineToArgvW gave them, UTF-8
};

// A folder for the records and a manual-reset event the recorder waits for,
// both named to the processes started from here on through the
// environment; the destructor takes both away again.
class Recorder {
  public:
    Recorder();
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // argv_recorder.exe's full path, and its folder with a final backslash.
    static std::string Path();
    static std::string Folder();
    // From now on each recorder stays until Release (or 30 s).
    void Hold();
    void Release();
    // The runs recorded so far, in no particular order.
    std::vector<RecordedRun> Runs() const;

  private:
    TempFolder folder_;
    HANDLE event_ = NULL;
};

} // namespace support

#endif
