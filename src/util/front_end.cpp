#include "util/front_end.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/charset.h"
#include "texts/texts.h"

namespace {

// Writes text in the core's form to a stream; POSIX terminals speak UTF-8.
void WriteConsoleText(FILE* stream, const char* text) {
#ifdef _WIN32
    std::fputs(text, stream);
#else
    size_t length = std::strlen(text);
    size_t room = length * 2 + 1;
    // Not Allocate: this shows the message of a failed allocation too.  With
    // no memory for the conversion the text goes out as it is.
    char* converted = static_cast<char*>(std::malloc(room));
    TextConversion result;
    bool done = converted != nullptr && ConvertText(CORE_CHARSET, ENCODING_UTF8, MISSING_DROP, text, length, converted,
                                                    room - 1, &result) == CONVERSION_DONE;
    if (done) {
        converted[result.written] = '\0';
        std::fputs(converted, stream);
    }
    if (!done) std::fputs(text, stream);
    std::free(converted);
#endif
}

int DefaultShowMessage(const char* text, const char* caption, unsigned style) {
    WriteConsoleText(stderr, caption);
    std::fputs(": ", stderr);
    WriteConsoleText(stderr, text);
    std::fputc('\n', stderr);
    return (style & 0xF) == MESSAGE_YES_NO || (style & 0xF) == MESSAGE_YES_NO_CANCEL ? ANSWER_YES : ANSWER_OK;
}

void DefaultPrintLine(const char* text) {
    WriteConsoleText(stdout, text);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

FrontEnd current = {DefaultShowMessage, DefaultPrintLine};

}  // namespace

void SetFrontEnd(const FrontEnd* frontEnd) {
    current.showMessage = frontEnd && frontEnd->showMessage ? frontEnd->showMessage : DefaultShowMessage;
    current.printLine = frontEnd && frontEnd->printLine ? frontEnd->printLine : DefaultPrintLine;
}

int ShowMessage(const char* text, const char* caption, unsigned style) {
    return current.showMessage(text, caption, style);
}

void PrintLine(const char* text) { current.printLine(text); }

void FormatOutOfMemoryMessage(size_t bytes, char* text, size_t size) {
    std::snprintf(text, size, FORMAT_OUT_OF_MEMORY, static_cast<unsigned long>(bytes));
}
