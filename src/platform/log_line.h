// A line of app.log as each system's tools read it.  Windows keeps the
// wizard's format byte for byte: the time of day ("09:30:01 "), the message
// in the core's form (GB18030), CR LF.  POSIX writes UTF-8 with the full
// date and time ("2026-12-08 09:30:01 ") and an LF, one line per entry: the
// line breaks inside a message become spaces.
#pragma once

#include <ctime>
#include <string>

// The whole line, stamp to line end, for `message` (core form) logged at
// `when` (local time).
std::string FormatLogLine(const char* message, const std::tm& when);
