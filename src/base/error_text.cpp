#include "base/error_text.h"

#include <cstdio>

void PutErrorList(ErrorText error, const char* format, va_list arguments) {
    if (error.text != nullptr && error.size > 0) std::vsnprintf(error.text, error.size, format, arguments);
}

void PutError(ErrorText error, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PutErrorList(error, format, arguments);
    va_end(arguments);
}
