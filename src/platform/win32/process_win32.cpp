#include "platform/process.h"

#include <windows.h>

long CurrentProcessId() { return static_cast<long>(GetCurrentProcessId()); }

int IsProcessRunning(long pid) {
    if (pid <= 0 || static_cast<long>(static_cast<DWORD>(pid)) != pid) {
        return 0;
    }
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        // Another user's (or a protected) process exists but cannot be
        // opened; any other refusal means no such process.
        return GetLastError() == ERROR_ACCESS_DENIED ? 1 : 0;
    }
    // A process that has ended stays openable while handles to it remain:
    // its handle is signalled then.
    int running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT ? 1 : 0;
    CloseHandle(process);
    return running;
}
