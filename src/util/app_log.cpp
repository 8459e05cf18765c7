#include "util/app_log.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/fs.h"
#include "platform/log_line.h"
#include "platform/thread.h"
#include "util/clock.h"
#include "util/files.h"
#include "base/strings.h"
#include "base/vector.h"
#include "texts/texts.h"

namespace {

FILE* logStream = nullptr;
// Holds the three writes of one line together, so lines written by two
// threads at the same moment never interleave.
Mutex* logMutex = nullptr;

}  // namespace

int OpenAppLog(const char* folder) {
    char path[MAX_PATH_BYTES];
    std::snprintf(path, sizeof path, "%s" PATH_SEPARATOR_TEXT "app.log", folder);
    if (GetFileSize(path) > APP_LOG_SIZE_LIMIT) RemoveFileByPath(path);
    if (logMutex == nullptr) logMutex = NewMutex();
    // Binary: Windows lines already end in "\r\n", which text mode there
    // would write as "\r\r\n".
    FILE* stream = OpenFileByPath(path, "a+b");
    if (stream == nullptr) return 0;
    LockMutex(logMutex);
    if (logStream != nullptr) std::fclose(logStream);
    logStream = stream;
    UnlockMutex(logMutex);
    return 1;
}

void CloseAppLog() {
    if (logMutex == nullptr) return;
    LockMutex(logMutex);
    if (logStream != nullptr) std::fclose(logStream);
    logStream = nullptr;
    UnlockMutex(logMutex);
}

void LogLineTo(Vector* lines, const char* message) {
    if (lines != nullptr) {
        VectorPush(lines, CopyString(message));
        return;
    }
    LogLine(message);
}

void LogLine(const char* message) {
    if (logMutex == nullptr) return;
    const std::string line = FormatLogLine(message, LocalTimeNow());
    LockMutex(logMutex);
    if (logStream != nullptr) {
        std::fwrite(line.data(), 1, line.size(), logStream);
        std::fflush(logStream);
    }
    UnlockMutex(logMutex);
}
