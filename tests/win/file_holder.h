// Another program holding a file open without sharing it, as Excel holds an
// open workbook: karvelo_hold_file.exe (tests/win/holder/) beside the driver.
#pragma once

#include <windows.h>

#include <string>

class FileHolder {
public:
    FileHolder() = default;
    ~FileHolder() { Release(); }
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;

    // Starts the holder on `path`; true once the file is held.
    bool Hold(const std::string& path);
    // Ends the holder, which frees the file.
    void Release();

private:
    HANDLE process_ = nullptr;
};
