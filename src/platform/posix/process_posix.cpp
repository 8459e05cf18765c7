#include "platform/process.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

long CurrentProcessId() { return static_cast<long>(getpid()); }

int IsProcessRunning(long pid) {
    // kill() with 0 and a negative id signals process groups: no such
    // process is asked about.
    if (pid <= 0 || static_cast<long>(static_cast<pid_t>(pid)) != pid) {
        return 0;
    }
    // Signal 0 checks without sending: EPERM means it exists but is
    // another user's.
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM ? 1 : 0;
}
