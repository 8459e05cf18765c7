// Test helpers for the core's texts: tests are written in UTF-8 and convert
// at the edge, the way the command line does.
#pragma once

#include <string>

// The GBK bytes of a UTF-8 text (aborts on text GBK cannot hold).  GBK's
// characters keep these bytes in the core's form.
std::string Gbk(const std::string& utf8);
// The core's form (GB18030) of any UTF-8 text.
std::string Core(const std::string& utf8);
// The UTF-8 form of a text in the core's form, for readable failure output.
std::string Utf8(const std::string& text);
// UTF-16 little-endian bytes (no mark) of a text in the core's form: the
// package's own encoding.
std::string Ucs2le(const std::string& text);

// The app.log at `path` as Windows writes it, whichever system wrote it:
// lines of the time of day ("09:30:01 "), the message in the core's form,
// CR LF.  The POSIX log (UTF-8, the date before the time, LF) is read back
// into that form, so tests look for the core's texts alike on both.
std::string ReadAppLog(const std::string& path);
// A line break inside a logged message as ReadAppLog gives it back: CR LF
// as Windows writes it, the one space a POSIX log writes for it.
extern const char LOGGED_BREAK[];
