// Rewriting the package text once a run has tried its images.
#pragma once

#include "base/hash_map.h"

struct RunView;

// Replaces, in *packageText, every relocated URL of `urlMap` (a non-empty
// value) by its local path and, with `blankFailedImages`, every failed URL
// (an empty value): its mobile element "<img>URL</img>" is removed and its
// other occurrences point at BLANK_IMAGE_URL.  Longer URLs are replaced
// first, so a URL that is part of a longer one never breaks the longer one.
// The old text is released when a new one replaces it.  Progress texts go to
// `view` (may be null).  Returns 1 when the text changed, else 0.
int RewritePackageText(const HashMap* urlMap, char** packageText, int blankFailedImages, int itemCount,
                       int processedCount, const RunView* view);

// The same replacement done plainly: one ReplaceAll per URL, longest URL
// first.  Used when a URL does not have the form the fast path relies on,
// and as its reference.  Returns 1 when the text changed.
int RewriteTextKeyByKey(const HashMap* urlMap, char** packageText, int blankFailedImages);
