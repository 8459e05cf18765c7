// The command line's edge: UTF-8 in the terminal, the core's form (GB18030) inside.
#pragma once

#include <string>

// The core's form of a UTF-8 argument.  Bytes that are not UTF-8 are
// dropped, so `lossless` (when given) tells whether the text survived.
std::string CoreFromUtf8(const std::string& utf8, bool* lossless = nullptr);
// The terminal's UTF-8 form of a text in the core's form.
std::string Utf8FromCore(const std::string& text);

// Writes text in the core's form to stdout or stderr as UTF-8.
void PrintOut(const std::string& text);
void PrintError(const std::string& text);

// The command line's exit codes.
enum CliExit {
    EXIT_DONE = 0,         // finished, nothing failed (or nothing to do)
    EXIT_REFUSED = 1,      // package or destination refused, fatal file error
    EXIT_USAGE = 2,        // bad arguments
    EXIT_SOME_FAILED = 3,  // finished with failed images
    EXIT_KEPT_BESIDE = 4,  // the package could not be replaced (another program held it):
                           // the rewritten package is kept beside it, the message says where
    EXIT_STOPPED = 130,    // stopped by a signal, package written back
};

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed (a
// program started by cron or a service manager, or with `>&-`), before
// anything else is opened: a file or socket would take the closed number,
// and what is printed would go into it.  False when one cannot be opened.
bool OpenClosedStandardStreams();
// Whether standard output was closed when the program started: what is
// written there goes nowhere.
bool StdoutWasClosed();

// How much a run prints: only the final message and errors, a line per
// finished item (or the progress line on a terminal), or also a line per
// image.
enum OutputLevel { OUTPUT_QUIET, OUTPUT_NORMAL, OUTPUT_VERBOSE };
void SetOutputLevel(OutputLevel level);
OutputLevel CurrentOutputLevel();

// From now on what would go to stdout goes to stderr: stdout is kept for the
// --json document.
void KeepStdoutForReport();

// `report` is called with `context` and the exit code as a command ends
// early (EndEarly); the process ends with the code it returns.
void SetExitReport(int (*report)(void* context, int exitCode), void* context = nullptr);

// Installs the command line's front end: message boxes are printed (errors
// and warnings to stderr), questions are answered "no", and running out of
// memory is said like a fatal error before the process ends (ExitEarly).
void InstallConsoleFrontEnd();

// The last words of a command that ends early: after a stopped or failed
// run, or an error box that ends it (`byError`: one did).  The status line
// is ended for good, a stop signal's summary and the backup note are
// printed, and the report is written (SetExitReport).  Returns the exit
// code: EXIT_REFUSED after an error, else EXIT_KEPT_BESIDE when the run's
// package was kept beside it, EXIT_STOPPED after a stop signal, EXIT_REFUSED
// otherwise.
int EndEarly(bool byError);
// That exit code for a run whose outcome so far is `outcome` (may be null).
struct RunOutcome;
int ExitCodeFor(bool byError, const RunOutcome* outcome);
// The same, then the end of the process with that code: for an end that
// cannot return to main (out of memory, on any thread) and failures in the
// main thread's start-up.
[[noreturn]] void ExitEarly(bool byError);

// The columns of the terminal at `descriptor`, or 0 when it is not one
// (a pipe, a file): what is printed there is wrapped to them.
int TerminalWidth(int descriptor);

// A progress line is drawn on stderr without its line end (`line`, UTF-8,
// from the start of the terminal's line, narrower than the terminal).  Every
// message erases it, is printed in its place and has it drawn again under
// it; EndStatusLine ends it with a line feed, for good until the next
// drawing (the last one stays on the screen).
void DrawStatusLine(const std::string& line);
void EndStatusLine();

// Set when SIGINT or SIGTERM asked the run to stop.
void NoteStopSignal();
bool StopSignalSeen();

// Says on stderr, once, where the run's backup of the package went and where
// the log is; nothing before the backup is made.  As the process ends after
// a fatal error; the run's summary says it otherwise.
void PrintBackupNote();
// True the first time only: whoever says where the backup went asks first,
// so it is said once.
bool TakeBackupNote();
// The next package's run has a backup of its own to note: said once again.
void RearmBackupNote();
