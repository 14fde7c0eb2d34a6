// Files the program writes or finds, read and written whole.
#ifndef HARBINEL_TESTS_SUPPORT_FILES_H
#define HARBINEL_TESTS_SUPPORT_FILES_H

#include <string>

namespace support {

// A path given in either width; narrow paths are in the ANSI code page.
class FilePath {
  public:
    FilePath(const std::wstring& path) : path_(path)
    {
    }
    FilePath(const wchar_t* path) : path_(path)
    {
    }
    FilePath(const std::string& path);
    FilePath(const char* path) : FilePath(std::string(path))
    {
    }
    const wchar_t* c_str() const
    {
        return path_.c_str();
    }

  private:
    std::wstring path_;
};

// The whole content of a file (shared for reading and writing, so a file
// still being written can be read); empty when it cannot be opened, which
// `exists`, when given, tells apart from an empty file.
std::string ReadFileBytes(const FilePath& path, bool* exists = nullptr);
// Replaces the file with exactly these bytes; a failure fails the test.
void WriteFileBytes(const FilePath& path, const std::string& bytes);
bool FileExists(const FilePath& path);
// The name of today's first log file, as the program names it:
// "harbinel-YYYY-MM-DD.log" in local time; or that of a day before.
std::string TodaysLogFileName(int daysBefore = 0);

// A folder of one test's own under the temporary folder, named from `stem`,
// the process and the time. Remove() (or the end of the object) deletes
// what the test left in it, then the folder.
class TempFolder {
  public:
    TempFolder() = default;
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Makes the folder; false when it cannot.
    bool Create(const std::string& stem);
    void Remove();
    // The path of `name` in the folder, in either width.
    std::string Path(const std::string& name) const;
    std::wstring Path(const std::wstring& name) const;
    // The folder itself.
    std::string Folder() const;

  private:
    std::wstring folder_;
};

} // namespace support

#endif
