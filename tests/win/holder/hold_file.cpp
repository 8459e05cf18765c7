// Holds a file open without sharing it, the way Excel or WPS holds an open
// workbook, until the process is ended:  karvelo_hold_file.exe PATH
// Exit code 2 for a wrong command line, 1 when the file cannot be opened.
#include <windows.h>
#include <shellapi.h>

int main() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count != 2) return 2;
    // Share mode 0: nobody else may read, write or delete it meanwhile.
    HANDLE file = CreateFileW(arguments[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    Sleep(INFINITE);
    return 0;
}
