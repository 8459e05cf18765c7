// The one form a failure's message takes on its way up: a buffer that
// carries its size, filled once, in the place that knows what went wrong.
#pragma once

#include <cstdarg>
#include <cstddef>

struct ErrorText {
    char* text;
    size_t size;
};

// Formats into `error` (cut to its size, always NUL-terminated); a null or
// empty buffer takes nothing.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void PutError(ErrorText error, const char* format, ...);
void PutErrorList(ErrorText error, const char* format, va_list arguments);
