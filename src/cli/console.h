// The command line's edge: UTF-8 in the terminal, GBK in the core.
#pragma once

#include <string>

// The core's GBK form of a UTF-8 argument.  Characters GBK lacks are
// dropped, so `lossless` (when given) tells whether the text survived.
std::string GbkFromUtf8(const std::string& utf8, bool* lossless = nullptr);
// The terminal's UTF-8 form of a GBK text.
std::string Utf8FromGbk(const std::string& gbk);

// Writes GBK text to stdout or stderr as UTF-8.
void PrintOut(const std::string& gbk);
void PrintError(const std::string& gbk);

// What the command line makes of the core's requests to end the process.
enum CliExit {
    EXIT_DONE = 0,            // finished, nothing failed (or nothing to do)
    EXIT_REFUSED = 1,         // package or destination refused, fatal file error
    EXIT_USAGE = 2,           // bad arguments
    EXIT_SOME_FAILED = 3,     // finished with failed images
    EXIT_STOPPED = 130,       // stopped by a signal, package written back
};

// Installs the command line's front end: message boxes are printed (errors
// and warnings to stderr), questions are answered "no", and the end of the
// process maps onto the exit codes above.
void InstallConsoleFrontEnd();

// A progress line is drawn on stderr without its line end; messages end
// it first so they start on a line of their own.
void SetStatusLineOpen(bool open);
void EndStatusLine();

// Set when SIGINT or SIGTERM asked the run to stop.
void NoteStopSignal();
bool StopSignalSeen();
// Set when an error box was shown: the process then ends with EXIT_REFUSED.
bool ErrorShown();
