// Rewriting the package text once a run has tried its images.
#pragma once

#include "package/writer.h"
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

// The same rewrite without a second copy of the text: the matches are found
// now (with the same progress texts) and the rewritten text is handed to the
// writer piece by piece (RewrittenPackageText, WritePackageText).  Null when
// the text would not change.  `packageText` must outlive the rewrite, which
// the caller frees.
struct PackageRewrite;
PackageRewrite* PreparePackageRewrite(const HashMap* urlMap, const char* packageText, int blankFailedImages,
                                      int itemCount, int processedCount, const RunView* view);
PackageText RewrittenPackageText(const PackageRewrite* rewrite);
void FreePackageRewrite(PackageRewrite* rewrite);

// The same replacement done plainly: one ReplaceAll per URL, longest URL
// first.  Used when a URL does not have the form the fast path relies on,
// and as its reference.  Returns 1 when the text changed.
int RewriteTextKeyByKey(const HashMap* urlMap, char** packageText, int blankFailedImages);
