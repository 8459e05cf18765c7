#include "package/reader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "package/extraction.h"
#include "package/item_record.h"
#include "platform/fs.h"
#include "util/app_log.h"
#include "util/charset.h"
#include "util/files.h"
#include "base/memory.h"
#include "base/strings.h"
#include "texts/texts.h"

namespace {

// Header names, each 8 GBK bytes, compared as whole header fields.
const size_t HEADER_NAME_BYTES = 8;

// Removed from the package text: the marketplace's WebP suffix, so that an
// address ending in "jpg_.webp" ends in "jpg".
const char WEBP_SUFFIX[] = "_.webp";

const int32_t DESKTOP_URLS_CAPACITY = 32;
const int32_t DESKTOP_URLS_GROWTH = 16;
const int32_t MOBILE_URLS_CAPACITY = 16;
const int32_t MOBILE_URLS_GROWTH = 8;

// A file is read and converted this many bytes at a time.
const size_t PIECE_BYTES = 256 * 1024;
// The most bytes of a character that a piece's end can cut off (the high
// surrogate of a pair and one byte of the low one).
const size_t MAX_CUT_CHARACTER_BYTES = 3;
// Every UTF-16 unit becomes at most four bytes of the core's form only when
// it stands alone (a pair's two units make four bytes together), so twice
// the input's size always holds the output.
const size_t OUTPUT_BYTES_PER_INPUT_BYTE = 2;

struct HeaderColumns {
    int count;  // N: the last column has index N - 1
    int title;
    int description;
    int mobile;
    int selling;
    int outerId;  // 商家编码, a plain field
};

bool FieldIs(const char* field, size_t length, const char* name) {
    return length == HEADER_NAME_BYTES && std::memcmp(field, name, HEADER_NAME_BYTES) == 0;
}

// Reads the header line that starts with the first 宝贝名称 of the text.
// Returns the first byte after the header line's LF, or null when there is
// no header.  A CR before the LF stays in the last field.
const char* ReadHeader(const char* text, size_t length, HeaderColumns* columns) {
    const char* name = FindBytes(text, length, HEADER_TITLE, HEADER_NAME_BYTES);
    if (name == nullptr) return nullptr;
    const char* end = text + length;
    const char* lineEnd = static_cast<const char*>(std::memchr(name, '\n', static_cast<size_t>(end - name)));
    if (lineEnd == nullptr) return nullptr;

    *columns = HeaderColumns{0, -1, -1, -1, -1, -1};
    const char* field = name;
    for (;;) {
        const char* tab = static_cast<const char*>(std::memchr(field, '\t', static_cast<size_t>(lineEnd - field)));
        const char* fieldEnd = tab != nullptr ? tab : lineEnd;
        size_t fieldLength = static_cast<size_t>(fieldEnd - field);
        // A name that occurs twice keeps its later column.
        if (FieldIs(field, fieldLength, HEADER_TITLE)) columns->title = columns->count;
        if (FieldIs(field, fieldLength, HEADER_DESCRIPTION)) columns->description = columns->count;
        if (FieldIs(field, fieldLength, HEADER_MOBILE)) columns->mobile = columns->count;
        if (FieldIs(field, fieldLength, HEADER_SELLING)) columns->selling = columns->count;
        // The plain 商家编码 is often the last column, its name before the CR.
        const bool lastWithCr = tab == nullptr && fieldLength > 0 && field[fieldLength - 1] == '\r';
        if (FieldIs(field, fieldLength - (lastWithCr ? 1 : 0), HEADER_OUTER_ID)) columns->outerId = columns->count;
        ++columns->count;
        if (tab == nullptr) break;
        field = tab + 1;
    }
    return lineEnd + 1;
}

// The tokenizer over the rows: strsep(3) at TAB, except that it never
// writes into the text (which is handed out whole afterwards).  `cursor` is
// null once the last token has been taken.
struct RowTokenizer {
    const char* cursor;
    const char* end;  // the text's terminating NUL
};

bool NextRowToken(RowTokenizer* tokens, const char** token, size_t* length) {
    if (tokens->cursor == nullptr) return false;
    const char* start = tokens->cursor;
    const char* tab = static_cast<const char*>(std::memchr(start, '\t', static_cast<size_t>(tokens->end - start)));
    const char* tokenEnd = tab != nullptr ? tab : tokens->end;
    tokens->cursor = tab != nullptr ? tab + 1 : nullptr;
    *token = start;
    *length = static_cast<size_t>(tokenEnd - start);
    return true;
}

enum RowStep { ROW_CONTINUE, ROW_DATA_ENDED, ROW_FAILED, ROW_TITLE_TOO_LONG };

// What starts a row: the quoted title, or the end of the data.  The data
// ends with the last row's LF, optionally followed by one CR; any other text
// shorter than a quoted field is broken row structure, as is an empty field
// that more columns follow.
RowStep StartRow(ItemList* items, const char* field, size_t length, bool moreTokens, ItemRecord** record) {
    if (length < 2) {
        if (length == 1 && field[0] != '\r') return ROW_FAILED;
        return moreTokens ? ROW_FAILED : ROW_DATA_ENDED;
    }
    if (TitleLimitBytes(field + 1, length - 2) > static_cast<size_t>(MAX_TITLE_BYTES)) return ROW_TITLE_TOO_LONG;
    *record = AppendItemRecord(items, field + 1, length - 2);
    return ROW_CONTINUE;
}

// Extracts a field's addresses into `scratch`; what it found moves to a
// list of just that size for the record, and the scratch list is used
// again, so rows without images cost no list and a list no spare slots.
Vector* TakeFound(Vector* collected, int32_t growBy) {
    if (collected->count == 0) return nullptr;
    Vector* found = NewVector(collected->count, growBy);
    for (int32_t i = 0; i < collected->count; ++i) VectorPush(found, collected->items[i]);
    VectorClear(collected, false);
    return found;
}

// Counts the field's local paths and the places its extraction found
// showing the blank image into the record, with the empty scratch list lent
// for the collection.  A failed search leaves the count so far.
void CountLocalPaths(const char* field, int length, bool mobile, Vector* scratch, ExtractionPatterns* patterns,
                     ItemRecord* record) {
    const int32_t blank = BlankImagesFound(patterns);
    if (blank > 0) (mobile ? UrlsOf(record)->blankMobile : UrlsOf(record)->blankDesktop) = blank;
    ExtractLocalPaths(field, static_cast<size_t>(length), scratch, mobile, patterns);
    if (scratch->count == 0) return;
    (mobile ? UrlsOf(record)->localMobile : UrlsOf(record)->localDesktop) = scratch->count;
    VectorClear(scratch, true);
}

// Keeps the row's 商家编码: the plain field, or a quoted one without its
// quotes (inner doubled quotes stay as stored, as in the title).
void KeepOuterId(ItemList* items, ItemRecord* record, const char* field, size_t length) {
    const bool quoted = length >= 2 && field[0] == '"' && field[length - 1] == '"';
    SetItemOuterId(items, record, field + (quoted ? 1 : 0), length - (quoted ? 2 : 0));
}

// What the parse of the rows keeps from one window of the text to the next.
struct RowParse {
    HeaderColumns columns;
    ItemList* items;
    ExtractionPatterns* patterns;
    Vector* desktopScratch;
    Vector* mobileScratch;
    ItemRecord* record;    // the record of the last row begun
    bool described;        // it has reached its 宝贝描述
    PackageRowFn rowRead;  // null: every record keeps its lists
    void* context;
};

// A row that is complete: the scan hands its record over, then releases
// its lists.
void FinishRow(RowParse* parse, ItemRecord* record) {
    if (parse->rowRead == nullptr || record == nullptr) return;
    parse->rowRead(parse->context, record);
    FreeItemRecord(record);
}

// Reads the header; *data is where the rows begin.  Null header: the
// text so far holds none (yet).
PackageReadResult StartRows(const char* text, size_t length, RowParse* parse, const char** data) {
    *data = ReadHeader(text, length, &parse->columns);
    if (*data == nullptr) return PACKAGE_READ_FAILED;
    const HeaderColumns& columns = parse->columns;
    if (columns.title < 0 || columns.description < 0) return PACKAGE_READ_FAILED;
    // Titles are taken from the field that starts each row, so a package
    // whose 宝贝名称 is not the first column cannot be read correctly.
    if (columns.title != 0) return PACKAGE_READ_FAILED;
    parse->items->hasMobileColumn = columns.mobile >= 0;
    parse->items->hasOuterIdColumn = columns.outerId >= 0;
    return PACKAGE_READ_OK;
}

// Parses the rows from `data`, where a row begins, up to `end` (the text's
// NUL).  Unless `final`, the text goes on after `end`: the row that reaches
// it is given back, its record dropped, and *resume is where it begins, so
// that the next window parses it whole; else *resume is null.
PackageReadResult ParseRowsFrom(RowParse* parse, const char* data, const char* end, bool final, const char** resume) {
    *resume = nullptr;
    const HeaderColumns& columns = parse->columns;
    ItemList* items = parse->items;
    ExtractionPatterns* patterns = parse->patterns;
    RowTokenizer tokens = {data, end};
    const char* rowStart = data;
    ItemRecord* rowRecord = nullptr;  // the record made for the row at rowStart
    ItemRecord* recordBefore = parse->record;
    bool describedBefore = parse->described;
    bool cut = false;
    int col = 0;
    const char* token;
    size_t tokenLength;
    while (NextRowToken(&tokens, &token, &tokenLength)) {
        if (!final && tokens.cursor == nullptr) {
            cut = true;
            break;
        }
        RowStep step = ROW_CONTINUE;
        bool startsRow = false;
        if (col == columns.count - 1) {
            // The last field, the row break and the next row's title arrive
            // as one token.
            const char* lf = static_cast<const char*>(std::memchr(token, '\n', tokenLength));
            if (lf == nullptr) return PACKAGE_READ_FAILED;
            const char* next = lf + 1;
            if (col == columns.outerId && parse->record != nullptr) {
                const size_t fieldLength = static_cast<size_t>(lf - token);
                KeepOuterId(items, parse->record, token, fieldLength - (fieldLength > 0 && lf[-1] == '\r'));
            }
            FinishRow(parse, rowRecord);
            rowStart = next;
            rowRecord = nullptr;
            recordBefore = parse->record;
            describedBefore = parse->described;
            step = StartRow(items, next, static_cast<size_t>(token + tokenLength - next), tokens.cursor != nullptr,
                            &parse->record);
            col = 0;
            startsRow = true;
        } else if (col == columns.title) {
            step = StartRow(items, token, tokenLength, tokens.cursor != nullptr, &parse->record);
            startsRow = true;
        }
        if (step == ROW_DATA_ENDED) break;
        if (step == ROW_FAILED) return PACKAGE_READ_FAILED;
        if (step == ROW_TITLE_TOO_LONG) return PACKAGE_READ_TITLE_TOO_LONG;
        if (startsRow) {
            parse->described = false;
            rowRecord = parse->record;
        } else if (col == columns.outerId) {
            KeepOuterId(items, parse->record, token, tokenLength);
        }
        ItemRecord* record = parse->record;

        // The quoted free-text columns are taken one column early, as whole
        // quoted fields, because their TABs and line breaks are text; the
        // tokenizer then yields the empty rest up to the next TAB as that
        // column.
        const int nextColumn = col + 1;
        const bool description = nextColumn == columns.description;
        const bool mobile = nextColumn == columns.mobile;
        if (description || mobile || nextColumn == columns.selling) {
            if (tokens.cursor == nullptr) break;  // the data ends before the column
            const bool quoted = tokens.cursor < end && *tokens.cursor == '"';
            int fieldLength = quoted ? FindQuotedFieldEnd(tokens.cursor) : 0;
            // A closing quote at the window's end may be the first of a doubled one.
            if (!final &&
                (tokens.cursor >= end || (quoted && (fieldLength <= 0 || tokens.cursor + fieldLength >= end)))) {
                cut = true;
                break;
            }
            if (*tokens.cursor != '"') return PACKAGE_READ_FAILED;
            if (fieldLength <= 0) return PACKAGE_READ_FAILED;
            const char* field = tokens.cursor;
            if (description) {
                if (!ExtractDescriptionUrls(field, static_cast<size_t>(fieldLength), parse->desktopScratch, patterns)) {
                    return PACKAGE_READ_DESCRIPTION_FAILED;
                }
                Vector* found = TakeFound(parse->desktopScratch, DESKTOP_URLS_GROWTH);
                if (found != nullptr) UrlsOf(record)->desktop = found;
                if (AddressFormsFound(patterns) != 0) UrlsOf(record)->addressForms |= AddressFormsFound(patterns);
                if (items->countLocalPaths)
                    CountLocalPaths(field, fieldLength, false, parse->desktopScratch, patterns, record);
                parse->described = true;
            } else if (mobile) {
                if (!ExtractMobileUrls(field, static_cast<size_t>(fieldLength), parse->mobileScratch, patterns)) {
                    return PACKAGE_READ_MOBILE_FAILED;
                }
                Vector* found = TakeFound(parse->mobileScratch, MOBILE_URLS_GROWTH);
                if (found != nullptr) UrlsOf(record)->mobile = found;
                if (AddressFormsFound(patterns) != 0) UrlsOf(record)->addressForms |= AddressFormsFound(patterns);
                if (items->countLocalPaths)
                    CountLocalPaths(field, fieldLength, true, parse->mobileScratch, patterns, record);
            }
            tokens.cursor += fieldLength;
        }
        ++col;
    }
    if (cut) {
        if (rowRecord != nullptr) {
            VectorRemoveAt(items, items->count - 1);
            FreeItemRecord(rowRecord);
        }
        parse->record = recordBefore;
        parse->described = describedBefore;
        *resume = rowStart;
        return PACKAGE_READ_OK;
    }
    // A record the data ended before its 宝贝描述 (text after the last
    // row's LF, such as a blank line) is no item: it is dropped.
    if (parse->record != nullptr && !parse->described) {
        VectorRemoveAt(items, items->count - 1);
        FreeItemRecord(parse->record);
    } else {
        FinishRow(parse, rowRecord);
    }
    return PACKAGE_READ_OK;
}

void OpenRowParse(RowParse* parse, ItemList* items, ExtractionPatterns* patterns, PackageRowFn rowRead, void* context) {
    *parse = RowParse{};
    parse->items = items;
    parse->patterns = patterns;
    parse->desktopScratch = NewVector(DESKTOP_URLS_CAPACITY, DESKTOP_URLS_GROWTH);
    parse->mobileScratch = NewVector(MOBILE_URLS_CAPACITY, MOBILE_URLS_GROWTH);
    parse->rowRead = rowRead;
    parse->context = context;
    CountBlankImages(patterns, items->countLocalPaths);
}

void CloseRowParse(RowParse* parse) {
    FreeVector(parse->desktopScratch, 1);
    FreeVector(parse->mobileScratch, 1);
}

PackageReadResult ParseRows(const char* text, size_t length, ItemList* items, ExtractionPatterns* patterns) {
    RowParse parse;
    OpenRowParse(&parse, items, patterns, nullptr, nullptr);
    const char* data = nullptr;
    const char* resume = nullptr;
    PackageReadResult result = StartRows(text, length, &parse, &data);
    if (result == PACKAGE_READ_OK) result = ParseRowsFrom(&parse, data, text + length, true, &resume);
    CloseRowParse(&parse);
    return result;
}

// Where the package's bytes come from: a file, read piece by piece into one
// small buffer, or bytes already in memory, handed over whole.  Reading a
// file in pieces keeps a second copy of the package out of memory and the
// bytes in the cache while they are converted.
struct PackageSource {
    FILE* file;  // null: `memory`
    const char* memory;
    size_t size;       // the package's bytes
    size_t delivered;  // bytes handed over so far
    char* buffer;      // a file's piece, after the bytes carried over
};

// Makes the next piece available at *piece: the `carry` bytes left over at
// *piece (a character cut by the last piece's end) followed by fresh bytes.
// False on a short read.
bool NextPiece(PackageSource* source, const char** piece, size_t* length, size_t carry) {
    if (source->file == nullptr) {
        *piece = source->memory;
        *length = source->size;
        source->delivered = source->size;
        return true;
    }
    if (carry > 0) std::memmove(source->buffer, *piece, carry);
    size_t want = source->size - source->delivered;
    if (want > PIECE_BYTES) want = PIECE_BYTES;
    size_t got = want > 0 ? std::fread(source->buffer + carry, 1, want, source->file) : 0;
    if (got != want) return false;
    source->delivered += got;
    *piece = source->buffer;
    *length = carry + got;
    return true;
}

enum DecodeStep { DECODE_OK, DECODE_REJECTED, DECODE_BAD_ENCODING };

// One conversion of the package's bytes, a piece at a time.
struct PackageDecoder {
    PackageSource* source;
    TextConverter* stream;
    const char* in;  // what is left of the current piece
    size_t inLeft;
};

// Takes the first piece, refusing what is not the listing tool's export,
// and opens the conversion.
DecodeStep StartDecoding(PackageSource* source, PackageDecoder* decoder) {
    *decoder = PackageDecoder{source, nullptr, nullptr, 0};
    const char* piece = nullptr;
    size_t length = 0;
    if (!NextPiece(source, &piece, &length, 0)) return DECODE_REJECTED;
    const unsigned char* head = reinterpret_cast<const unsigned char*>(piece);
    // The mark followed directly by 宝: a header with no preamble, which is
    // not the listing tool's export.
    if (length >= 4 && head[0] == 0xFF && head[1] == 0xFE && head[2] == 0x9D && head[3] == 0x5B) {
        return DECODE_REJECTED;
    }
    // "ver" as single bytes: a version line that is not UCS-2.
    if (length >= 3 && head[0] == 'v' && head[1] == 'e' && head[2] == 'r') return DECODE_REJECTED;
    size_t start = 0;
    if (length >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) start = 3;  // UTF-8 mark
    decoder->stream = OpenCharsetStream(PACKAGE_READ_CHARSET, CORE_CHARSET);
    if (decoder->stream == nullptr) return DECODE_BAD_ENCODING;
    decoder->in = piece + start;
    decoder->inLeft = length - start;
    return DECODE_OK;
}

// Converts the current piece into *out, which has room for twice its bytes,
// and takes the next one; *finished after the last.
DecodeStep DecodeNextPiece(PackageDecoder* decoder, char** out, size_t* outLeft, bool* finished) {
    char* pieceOutput = *out;
    ConversionStop stop = ConvertTextPiece(decoder->stream, &decoder->in, &decoder->inLeft, out, outLeft, nullptr);
    const bool last = decoder->source->delivered == decoder->source->size;
    if (stop != CONVERSION_DONE && (last || decoder->inLeft > MAX_CUT_CHARACTER_BYTES)) return DECODE_BAD_ENCODING;
    // A U+0000 would end the text early for everything that follows and
    // cut the package short when it is written back.
    if (std::memchr(pieceOutput, '\0', static_cast<size_t>(*out - pieceOutput)) != nullptr) return DECODE_BAD_ENCODING;
    *finished = last;
    if (last) return DECODE_OK;
    const char* carried = decoder->in;
    size_t length = 0;
    if (!NextPiece(decoder->source, &carried, &length, decoder->inLeft)) return DECODE_REJECTED;
    decoder->in = carried;
    decoder->inLeft = length;
    return DECODE_OK;
}

void StopDecoding(PackageDecoder* decoder) {
    if (decoder->stream != nullptr) CloseTextConverter(decoder->stream);
}

// Converts the package's bytes into `text` (room for the whole input), one
// piece after another through one conversion; *written gets the length.
DecodeStep ConvertPieces(PackageSource* source, char* text, size_t* written) {
    PackageDecoder decoder;
    DecodeStep step = StartDecoding(source, &decoder);
    char* out = text;
    size_t outLeft = source->size * OUTPUT_BYTES_PER_INPUT_BYTE;
    bool finished = false;
    while (step == DECODE_OK && !finished) step = DecodeNextPiece(&decoder, &out, &outLeft, &finished);
    StopDecoding(&decoder);
    *written = static_cast<size_t>(out - text);
    return step;
}

// The package text: the bytes converted to the core's form, NUL-terminated,
// without "_.webp".  Null when the package cannot be decoded (bad encoding
// logged).  The buffer is sized for the worst case and fitted afterwards;
// pages never written cost no memory.
char* DecodePackage(PackageSource* source, size_t* length) {
    char* text = static_cast<char*>(std::malloc(source->size * OUTPUT_BYTES_PER_INPUT_BYTE + 1));
    if (text == nullptr) return nullptr;
    size_t written = 0;
    DecodeStep step = ConvertPieces(source, text, &written);
    if (step != DECODE_OK) {
        if (step == DECODE_BAD_ENCODING) LogLine(LOG_BAD_ENCODING);
        std::free(text);
        return nullptr;
    }
    text[written] = '\0';
    *length = RemoveAllInPlace(text, written, WEBP_SUFFIX);
    if (*length < source->size * OUTPUT_BYTES_PER_INPUT_BYTE) {
        char* fitted = static_cast<char*>(std::realloc(text, *length + 1));
        if (fitted != nullptr) text = fitted;
    }
    return text;
}

PackageReadResult ReadSource(PackageSource* source, ItemList* items, char** outText) {
    size_t length = 0;
    char* text = DecodePackage(source, &length);
    if (text == nullptr) return PACKAGE_READ_FAILED;
    ExtractionPatterns* patterns = NewExtractionPatterns();
    PackageReadResult result = ParseRows(text, length, items, patterns);
    FreeExtractionPatterns(patterns);
    if (result == PACKAGE_READ_OK) {
        *outText = text;
    } else {
        std::free(text);
    }
    return result;
}

// The text of a scan: the rows not parsed yet, decoded, with a NUL after
// them.  [0, clean) is final; [clean, length) was just decoded, its
// "_.webp" not removed yet.
struct ScanWindow {
    char* bytes;
    size_t capacity;
    size_t length;
    size_t clean;
};

const size_t WEBP_SUFFIX_BYTES = sizeof WEBP_SUFFIX - 1;

// Removes "_.webp" from what was just decoded, as the whole text's removal
// would: up to a cut that no occurrence straddles, the last bytes kept back
// until the text goes on (all of them once `finished`).
void CleanWindow(ScanWindow* window, bool finished) {
    char* bytes = window->bytes;
    const size_t from = window->clean;
    const size_t length = window->length;
    size_t cut = length;
    if (!finished) {
        cut = length >= from + WEBP_SUFFIX_BYTES ? length - (WEBP_SUFFIX_BYTES - 1) : from;
        for (size_t at = cut >= from + WEBP_SUFFIX_BYTES ? cut - (WEBP_SUFFIX_BYTES - 1) : from; at < cut; ++at) {
            if (std::memcmp(bytes + at, WEBP_SUFFIX, WEBP_SUFFIX_BYTES) == 0) {
                cut = at + WEBP_SUFFIX_BYTES;
                break;
            }
        }
    }
    const char held = bytes[cut];  // the removal ends what it keeps with a NUL
    const size_t kept = RemoveAllInPlace(bytes + from, cut - from, WEBP_SUFFIX);
    bytes[cut] = held;
    std::memmove(bytes + from + kept, bytes + cut, length - cut);
    window->clean = from + kept;
    window->length = from + kept + (length - cut);
}

// Room for `bytes` more and the NUL; false without memory.
bool MakeRoom(ScanWindow* window, size_t bytes) {
    if (window->capacity - window->length > bytes) return true;
    size_t capacity = window->capacity * 2;
    while (capacity - window->length <= bytes) capacity *= 2;
    char* grown = static_cast<char*>(std::realloc(window->bytes, capacity));
    if (grown == nullptr) return false;
    window->bytes = grown;
    window->capacity = capacity;
    return true;
}

// Reads the package in one pass, never holding its text: each piece is
// decoded into the window, the rows it completes are parsed and handed to
// `rowRead`, and the rest of the window goes on into the next piece.  A row
// failure stops the parse, and the decoding goes on, so that a badly
// encoded package fails as such wherever its bad character stands, as it
// does when it is read whole.
PackageReadResult ScanSource(PackageSource* source, ItemList* items, PackageRowFn rowRead, void* context) {
    const size_t firstCapacity = (PIECE_BYTES + MAX_CUT_CHARACTER_BYTES) * OUTPUT_BYTES_PER_INPUT_BYTE * 2;
    ScanWindow window = {static_cast<char*>(std::malloc(firstCapacity)), firstCapacity, 0, 0};
    if (window.bytes == nullptr) return PACKAGE_READ_FAILED;
    ExtractionPatterns* patterns = NewExtractionPatterns();
    RowParse parse;
    OpenRowParse(&parse, items, patterns, rowRead, context);
    PackageDecoder decoder;
    DecodeStep step = StartDecoding(source, &decoder);
    PackageReadResult result = PACKAGE_READ_OK;
    bool headerRead = false;
    size_t rowsAt = 0;  // where the next row begins in the window
    bool finished = false;
    while (step == DECODE_OK && !finished) {
        if (!MakeRoom(&window, decoder.inLeft * OUTPUT_BYTES_PER_INPUT_BYTE)) {
            step = DECODE_REJECTED;
            break;
        }
        char* out = window.bytes + window.length;
        size_t outLeft = window.capacity - window.length - 1;
        step = DecodeNextPiece(&decoder, &out, &outLeft, &finished);
        if (step != DECODE_OK) break;
        window.length = static_cast<size_t>(out - window.bytes);
        if (result != PACKAGE_READ_OK) {
            window.length = window.clean = 0;  // only the encoding is still checked
            continue;
        }
        CleanWindow(&window, finished);
        const char held = window.bytes[window.clean];
        window.bytes[window.clean] = '\0';
        if (!headerRead) {
            const char* data = nullptr;
            PackageReadResult started = StartRows(window.bytes, window.clean, &parse, &data);
            if (data != nullptr || finished) {
                result = started;
                headerRead = true;
                rowsAt = data != nullptr ? static_cast<size_t>(data - window.bytes) : 0;
            }
        }
        if (headerRead && result == PACKAGE_READ_OK) {
            const char* resume = nullptr;
            result = ParseRowsFrom(&parse, window.bytes + rowsAt, window.bytes + window.clean, finished, &resume);
            rowsAt = resume != nullptr ? static_cast<size_t>(resume - window.bytes) : window.clean;
        }
        window.bytes[window.clean] = held;
        if (headerRead) {
            // What is parsed goes; the row that goes on stays, at the front.
            std::memmove(window.bytes, window.bytes + rowsAt, window.length - rowsAt);
            window.length -= rowsAt;
            window.clean -= rowsAt;
            rowsAt = 0;
        }
    }
    StopDecoding(&decoder);
    CloseRowParse(&parse);
    FreeExtractionPatterns(patterns);
    std::free(window.bytes);
    if (step != DECODE_OK) {
        if (step == DECODE_BAD_ENCODING) LogLine(LOG_BAD_ENCODING);
        return PACKAGE_READ_FAILED;
    }
    return result;
}

// The source of the package at `packagePath`, read piece by piece; false
// when it cannot be opened.  CloseFileSource ends it.
bool OpenFileSource(const char* packagePath, PackageSource* source) {
    if (!FileExists(packagePath)) return false;
    int32_t size = GetFileSize(packagePath);  // -1 also for files of 2 GiB and more
    if (size < 0) return false;
    FILE* file = OpenFileByPath(packagePath, "rb");
    if (file == nullptr) return false;
    *source = PackageSource{file, nullptr, static_cast<size_t>(size), 0,
                            static_cast<char*>(std::malloc(PIECE_BYTES + MAX_CUT_CHARACTER_BYTES))};
    if (source->buffer != nullptr) return true;
    std::fclose(file);
    return false;
}

void CloseFileSource(PackageSource* source) {
    std::free(source->buffer);
    std::fclose(source->file);
}

}  // namespace

size_t TitleLimitBytes(const char* title, size_t length) {
    size_t counted = 0;
    for (size_t at = 0; at < length;) {
        int bytes = CharacterBytes(title + at);
        if (bytes != 4) counted += static_cast<size_t>(bytes);
        at += static_cast<size_t>(bytes);
    }
    return counted;
}

const char* PackageReadFailureMessage(PackageReadResult result) {
    if (result == PACKAGE_READ_DESCRIPTION_FAILED) return MESSAGE_DESCRIPTION_FAILED;
    if (result == PACKAGE_READ_MOBILE_FAILED) return MESSAGE_MOBILE_FAILED;
    return nullptr;
}

int FindQuotedFieldEnd(const char* field) {
    const char* at = field + 1;
    for (;;) {
        const char* quote = std::strchr(at, '"');
        if (quote == nullptr) return 0;
        if (quote[1] != '"') return static_cast<int>(quote - field + 1);
        at = quote + 2;  // a doubled quote is one quote of the text
    }
}

PackageReadResult ReadPackageBytes(const char* bytes, size_t size, ItemList* items, char** outText) {
    PackageSource source = {nullptr, bytes, size, 0, nullptr};
    return ReadSource(&source, items, outText);
}

PackageReadResult ReadPackage(const char* packagePath, ItemList* items, char** outText) {
    PackageSource source;
    if (!OpenFileSource(packagePath, &source)) return PACKAGE_READ_FAILED;
    PackageReadResult result = ReadSource(&source, items, outText);
    CloseFileSource(&source);
    return result;
}

PackageReadResult ScanPackage(const char* packagePath, ItemList* items, PackageRowFn rowRead, void* context) {
    PackageSource source;
    if (!OpenFileSource(packagePath, &source)) return PACKAGE_READ_FAILED;
    PackageReadResult result = ScanSource(&source, items, rowRead, context);
    CloseFileSource(&source);
    return result;
}
