// Test helpers for the core's GBK texts: tests are written in UTF-8 and
// convert at the edge, the way the command line does.
#pragma once

#include <string>

// The GBK bytes of a UTF-8 text (aborts on text GBK cannot hold).
std::string Gbk(const std::string& utf8);
// The UTF-8 form of GBK bytes, for readable failure output.
std::string Utf8(const std::string& gbk);
// UCS-2 little-endian bytes (no mark) of a GBK text.
std::string Ucs2le(const std::string& gbk);
