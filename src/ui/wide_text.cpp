#include "ui/wide_text.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/charset.h"
#include "platform/win32/wide_path.h"
#include "texts/texts.h"
#include "util/charset.h"
#include "base/memory.h"

namespace {

// The most bytes one UTF-16 unit takes in GB18030: a BMP character outside
// GBK has a four-byte code, and a surrogate pair (two units) one code of four.
const size_t CORE_BYTES_PER_UNIT = 4;

}  // namespace

WideText::WideText(const char* text) : inline_(), text_(inline_) {
    size_t length = text != nullptr ? std::strlen(text) : 0;
    // No GB18030 byte gives more than one unit.
    size_t units = length + 1;
    if (units > INLINE_UNITS) text_ = static_cast<wchar_t*>(Allocate(units * sizeof(wchar_t)));
    int written = 0;
    // The output is zero-filled first, so what converted is terminated even
    // when a bad byte stopped the conversion.
    if (length > 0) {
        ConvertCharset(CORE_CHARSET, ENCODING_UTF16LE, text, static_cast<int>(length), reinterpret_cast<char*>(text_),
                       static_cast<int>(units * sizeof(wchar_t)), &written);
    }
    text_[static_cast<size_t>(written) / sizeof(wchar_t)] = L'\0';
}

WideText::~WideText() {
    if (text_ != inline_) std::free(text_);
}

int CorePathFromSystem(const wchar_t* wide, char* path, int size) {
    size_t units = std::wcslen(wide);
    // Converted whole first, so a path that does not fit is told apart from
    // one that does not convert.
    size_t room = units * CORE_BYTES_PER_UNIT + 1;
    char* converted = static_cast<char*>(Allocate(room));
    int result = SYSTEM_PATH_OK;
    if (!CorePathFromWide(wide, units, converted, static_cast<int>(room))) {
        result = SYSTEM_PATH_UNREADABLE;
    } else if (size <= 0 || std::strlen(converted) >= static_cast<size_t>(size)) {
        result = SYSTEM_PATH_TOO_LONG;
    } else {
        std::memcpy(path, converted, std::strlen(converted) + 1);
    }
    std::free(converted);
    return result;
}

const char* UnusablePathMessage(int result) {
    return result == SYSTEM_PATH_TOO_LONG ? MESSAGE_PATH_TOO_LONG : MESSAGE_PATH_UNREADABLE;
}

void SetWindowCoreText(HWND window, const char* text) {
    WideText wide(text);
    SetWindowTextW(window, wide.get());
}

int ReadWindowPath(HWND window, char* path, int size) {
    int units = GetWindowTextLengthW(window);
    if (units < 0) units = 0;
    wchar_t* wide = static_cast<wchar_t*>(Allocate((static_cast<size_t>(units) + 1) * sizeof(wchar_t)));
    wide[0] = L'\0';
    GetWindowTextW(window, wide, units + 1);
    int result = CorePathFromSystem(wide, path, size);
    std::free(wide);
    return result;
}
