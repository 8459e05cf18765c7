#include "http/failure_reason.h"

#include <cstdio>

#include "texts/texts.h"

namespace {

// By kind, in FailureKind's order.
const char* const CODES[FAILURE_KIND_COUNT] = {
    "none",           "http_status",           "connection_refused", "timed_out",
    "name_not_found", "certificate_untrusted", "not_an_image",       "too_large",
    "compressed",     "proxy_refused",         "proxy_unreachable",  "redirect_refused",
    "cut_off",        "file_not_writable",     "host_cut_off",       "too_slow",
    "other",
};

}  // namespace

void SetFailureReason(FailureReason* reason, FailureKind kind, const char* place, int status) {
    if (reason == nullptr) return;
    reason->kind = kind;
    reason->status = status;
    std::snprintf(reason->place, sizeof reason->place, "%s", place != nullptr ? place : "");
}

const char* FailureCode(FailureKind kind) {
    return kind >= 0 && kind < FAILURE_KIND_COUNT ? CODES[kind] : CODES[FAILURE_OTHER];
}

void FormatFailureSentence(const FailureReason* reason, bool english, char* out, size_t size) {
    if (size == 0) return;
    const char* format = FORMAT_REASON_OTHER;
    if (english && EnglishText(format) != nullptr) format = EnglishText(format);
    std::snprintf(out, size, format, reason != nullptr ? reason->place : "");
}
