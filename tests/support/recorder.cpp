// The argument recorder's side in the tests: where it is, what it is told
// through the environment and what it wrote.
#include "support/recorder.h"

#include <gtest/gtest.h>

namespace support {

static const char kDirVariable[] = "HARBINEL_RECORDER_DIR";
static const char kEventVariable[] = "HARBINEL_RECORDER_EVENT";

Recorder::Recorder()
{
    EXPECT_TRUE(folder_.Create("recorder"));
    SetEnvironmentVariableA(kDirVariable, folder_.Folder().c_str());
    const std::string name = "harbinel-recorder-" + std::to_string(GetCurrentProcessId());
    event_ = CreateEventA(NULL, TRUE, TRUE, name.c_str());
    EXPECT_TRUE(event_ != NULL);
    SetEnvironmentVariableA(kEventVariable, name.c_str());
}

Recorder::~Recorder()
{
    Release();
    SetEnvironmentVariableA(kEventVariable, NULL);
    SetEnvironmentVariableA(kDirVariable, NULL);
    if (event_ != NULL)
        CloseHandle(event_);
}

std::string Recorder::Folder()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string folder = path;
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

std::string Recorder::Path()
{
    return Folder() + "argv_recorder.exe";
}

void Recorder::Hold()
{
    ResetEvent(event_);
}

void Recorder::Release()
{
    SetEvent(event_);
}

std::vector<RecordedRun> Recorder::Runs() const
{
    std::vector<RecordedRun> runs;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(folder_.Path("*.run").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return runs;
    do {
        const std::string bytes = ReadFileBytes(folder_.Path(std::string(found.cFileName)));
        std::vector<std::string> parts;
        for (size_t at = 0, end; (end = bytes.find('\0', at)) != std::string::npos; at = end + 1)
            parts.push_back(bytes.substr(at, end - at));
        if (!parts.empty())
            runs.push_back({parts[0], std::vector<std::string>(parts.begin() + 1, parts.end())});
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return runs;
}

} // namespace support
