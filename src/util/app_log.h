// The application log, "app.log" in the folder ChooseStateFolder gives:
// beside the program, or in the user's state folder.
//
// Every line is a stamp, the message and the line end in the system's form
// (platform/log_line.h: the time of day, GB18030 and CR LF on Windows; the
// date and time, UTF-8 and LF on POSIX), flushed at once.  A log larger
// than 2 MiB at start-up is deleted.
#pragma once

#include <cstddef>

const long APP_LOG_SIZE_LIMIT = 2097152;

// Opens the log in `folder` once, for the whole process.  Returns 1 when
// open, 0 when it cannot be opened: the front end then shows
// MESSAGE_LOG_CANNOT_OPEN ("无法打开应用日志文件：app.log") and ends the
// process with code 0.
int OpenAppLog(const char* folder);

// Appends one line; without an open log it does nothing.  Any thread.
void LogLine(const char* message);

struct Vector;
// LogLine into a capture: with `lines`, a heap copy of the message is kept
// there instead of written, so that what a download logs can be written
// later in the run's order; null writes it at once.
void LogLineTo(Vector* lines, const char* message);

// Closes the log (tests reopen it in another folder).
void CloseAppLog();
