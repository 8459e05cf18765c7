#include "win/file_holder.h"

#include <cstring>

#include "win/gui_driver.h"

namespace {

// Held means that an open sharing everything still fails for sharing.
bool HeldByAnother(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

}  // namespace

bool FileHolder::Hold(const std::string& path) {
    Release();
    std::string program = DriverFolder() + "\\karvelo_hold_file.exe";
    std::string commandLine = "\"" + program + "\" \"" + path + "\"";
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    if (!CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started)) {
        return false;
    }
    CloseHandle(started.hThread);
    process_ = started.hProcess;
    return WaitUntil([&] {
               DWORD code = 0;
               return HeldByAnother(path) || (GetExitCodeProcess(process_, &code) && code != STILL_ACTIVE);
           }) &&
           HeldByAnother(path);
}

void FileHolder::Release() {
    if (process_ == nullptr) return;
    TerminateProcess(process_, 0);
    WaitForSingleObject(process_, WAIT_LIMIT_MS);
    CloseHandle(process_);
    process_ = nullptr;
}
