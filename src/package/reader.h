// The data-package reader: one package file in, the item records and the
// package text (the whole file in the core's form, GB18030) out.
//
// A package is UTF-16 little-endian text with the mark FF FE, a preamble, a
// header line of Chinese column names that starts with 宝贝名称, then one row
// per item: fields separated by TAB, free text in double quotes with inner
// quotes doubled, rows ending in CR LF.  Every character survives reading
// (characters outside GBK as GB18030's four-byte codes), so writing the text
// back loses nothing.  Scanning is byte-wise, which is sound because TAB, LF,
// CR and '"' never occur inside a multi-byte character.
//
// A package holding U+0000 or a reversed mark U+FFFE after its start is
// refused as badly encoded: the first would cut the text short, the second
// puts its byte order in doubt.
#pragma once

#include <cstddef>

#include "package/item_record.h"

typedef int PackageReadResult;
const PackageReadResult PACKAGE_READ_OK = 1;
const PackageReadResult PACKAGE_READ_FAILED = 0;          // not a package that can be read
const PackageReadResult PACKAGE_READ_TITLE_TOO_LONG = 2;  // a title over 255 bytes (see TitleLimitBytes)
// The extraction of a 宝贝描述 or 无线详情 field failed (logged by the
// extraction): the program cannot go on with this package.
const PackageReadResult PACKAGE_READ_DESCRIPTION_FAILED = 3;
const PackageReadResult PACKAGE_READ_MOBILE_FAILED = 4;

// The most bytes a title may have, counted by TitleLimitBytes.
const int MAX_TITLE_BYTES = 255;

// A title's length as the 255-byte rule counts it: its bytes as GBK held
// them.  Characters GBK lacks (four-byte codes) count nothing, as they did
// when GBK dropped them, so every title the rule ever accepted still passes.
size_t TitleLimitBytes(const char* title, size_t length);

// Reads the package at `packagePath` (a path in the core's form).  Appends one ItemRecord per data
// row to `items` (passed empty), with the address lists of its 宝贝描述 and,
// when the package has that column (items->hasMobileColumn), 无线详情.  On
// PACKAGE_READ_OK `*outText` receives the package text, a heap string the
// caller frees with free().  On any other result `*outText` is left
// untouched and the records made so far stay in `items` for the caller to
// clear.
//
// When extraction fails the result is PACKAGE_READ_DESCRIPTION_FAILED or
// PACKAGE_READ_MOBILE_FAILED; the front end shows its message
// (PackageReadFailureMessage) in an error box and ends the process.  The
// package file is only ever read.
PackageReadResult ReadPackage(const char* packagePath, ItemList* items, char** outText);

// The same read in one pass that never holds the package text (`karvelo
// inspect`): each row's record is handed to `rowRead` once the row is
// complete, with its address lists, which the reader then releases (the
// record and its title stay in `items`).  The results are ReadPackage's;
// after a failure the rows read before it may have been handed over.
typedef void (*PackageRowFn)(void* context, const ItemRecord* record);
PackageReadResult ScanPackage(const char* packagePath, ItemList* items, PackageRowFn rowRead, void* context);

// The error box text of a read that cannot go on ("读取宝贝详情时出错..." or
// "读取宝贝无线详情时出错..."), or null for any other result.
const char* PackageReadFailureMessage(PackageReadResult result);

// The same over the file's bytes already in memory.
PackageReadResult ReadPackageBytes(const char* bytes, size_t size, ItemList* items, char** outText);

// Given a pointer to an opening double quote: the length of the quoted field
// including both quotes (a doubled quote inside does not close it), or 0 when
// the text ends before a closing quote.
int FindQuotedFieldEnd(const char* field);
