// Whole-file reads and writes through the wide file functions.
#include "support/files.h"

#include <stdio.h>

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "support/texts.h"

namespace support {

FilePath::FilePath(const std::string& path) : path_(Widen(path))
{
}

std::string ReadFileBytes(const FilePath& path, bool* exists)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (exists != nullptr)
        *exists = file != INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

void WriteFileBytes(const FilePath& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << Narrow(path.c_str());
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL);
    CloseHandle(file);
    ASSERT_TRUE(ok && written == bytes.size()) << "cannot write " << Narrow(path.c_str());
}

bool FileExists(const FilePath& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TempFolder::~TempFolder()
{
    Remove();
}

bool TempFolder::Create(const std::string& stem)
{
    Remove();
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    folder_ = temp + Widen(stem) + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
              std::to_wstring(GetTickCount());
    return CreateDirectoryW(folder_.c_str(), NULL) != FALSE;
}

void TempFolder::Remove()
{
    if (folder_.empty())
        return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(Path(L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            DeleteFileW(Path(std::wstring(found.cFileName)).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder_.c_str());
    folder_.clear();
}

std::string TempFolder::Path(const std::string& name) const
{
    return Narrow(Path(Widen(name)));
}

std::wstring TempFolder::Path(const std::wstring& name) const
{
    return folder_ + L"\\" + name;
}

std::string TempFolder::Folder() const
{
    return Narrow(folder_);
}

std::string TodaysLogFileName(int daysBefore)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME time;
    SystemTimeToFileTime(&now, &time);
    ULARGE_INTEGER t = {{time.dwLowDateTime, time.dwHighDateTime}};
    t.QuadPart -= (ULONGLONG)daysBefore * 24 * 3600 * 10000000;
    time = {t.LowPart, t.HighPart};
    FileTimeToSystemTime(&time, &now);
    char name[32];
    snprintf(name, sizeof name, "harbinel-%04d-%02d-%02d.log", now.wYear, now.wMonth, now.wDay);
    return name;
}

} // namespace support
