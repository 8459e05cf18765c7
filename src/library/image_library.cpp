#include "library/image_library.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/error_text.h"
#include "platform/charset.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "texts/texts.h"
#include "util/files.h"

// How long a statement waits for another process's write lock before it
// gives up: a commit holds it for one short transaction only.
const unsigned LIBRARY_BUSY_MILLISECONDS = 30000;
const size_t LIBRARY_MESSAGE_BYTES = 1024;
// The most damaged copies one DEST keeps apart (library.sqlite3.damaged-N).
const int MOST_DAMAGED_COPIES = 1000;
const unsigned WAL_SWITCH_PAUSE_MILLISECONDS = 10;
// A library value's owner name in the claims: its process id and random
// bits, so values of one process, and a later process with a reused id,
// never take each other's claims for their own.
const size_t OWNER_BYTES = 48;

struct ImageLibrary {
    sqlite3* db;
    char path[MAX_PATH_BYTES];  // the database, core form, for messages
    char error[LIBRARY_MESSAGE_BYTES];
    char owner[OWNER_BYTES];  // hexadecimal: it goes into the claim statements' texts as it is
    bool claimed;             // a claim was taken since the open: the close releases them
    bool inClaims;            // BeginImageClaims's transaction is open: claims go into it
    // The contents (ContentKey) of every row at the open and every row
    // recorded since: FindImageByContent asks the database only for a
    // content it holds, so the download of a new image costs no query.  A
    // row another process commits meanwhile is not in it: an image both
    // download at once may then be kept twice, never lost.
    std::unordered_set<unsigned long long> contents;
    // Rows recorded and not yet in temp.pending: RecordImage only checks
    // and keeps them, and the next call that reads pending rows writes them
    // all in one transaction (FlushRecords), so a stored image costs no
    // statement of its own.
    struct Unrecorded {
        std::string address, file, sha256;
        long long size;
    };
    std::vector<Unrecorded> unrecorded;
    sqlite3_stmt* recordPending;
    sqlite3_stmt* lookUp;
    sqlite3_stmt* findContent;
    sqlite3_stmt* dropRow;
    sqlite3_stmt* dropPending;
    sqlite3_stmt* begin;
    sqlite3_stmt* movePending;
    sqlite3_stmt* clearPending;
    sqlite3_stmt* commit;
    sqlite3_stmt* rollback;
    sqlite3_stmt* committedRow;
    sqlite3_stmt* claimOf;
    sqlite3_stmt* takeClaim;
    sqlite3_stmt* releaseClaim;
    sqlite3_stmt* endCommittedClaims;
    sqlite3_stmt* releaseAllClaims;
};

// The library's statements, prepared once when it opens; a pending row
// shadows a committed one of the same address (its column 4 is 0).
static const char* const SCHEMA =
    "CREATE TABLE IF NOT EXISTS images(address TEXT PRIMARY KEY, file TEXT NOT NULL, size INTEGER NOT NULL,"
    " sha256 TEXT NOT NULL, stored INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS images_by_content ON images(size, sha256);"
    "CREATE TABLE IF NOT EXISTS claims(address TEXT PRIMARY KEY, owner TEXT NOT NULL, pid INTEGER NOT NULL,"
    " claimed INTEGER NOT NULL);";
static const char* const PENDING_SCHEMA =
    "CREATE TEMP TABLE pending(address TEXT PRIMARY KEY, file TEXT NOT NULL, size INTEGER NOT NULL,"
    " sha256 TEXT NOT NULL, stored INTEGER NOT NULL);"
    "CREATE INDEX temp.pending_by_content ON pending(size, sha256);";
static const char* const SELECT_COLUMNS = "address, file, size, sha256, stored";

// ---- Texts between the core's form and SQLite's UTF-8 ---------------------

static bool ConvertWhole(TextEncoding from, TextEncoding to, const char* text, size_t length, std::string* out) {
    out->assign(length * 4 + 4, '\0');
    TextConversion result;
    if (ConvertText(from, to, MISSING_STOP, text, length, &(*out)[0], out->size(), &result) != CONVERSION_DONE) {
        return false;
    }
    out->resize(result.written);
    return true;
}

static bool ToUtf8(const char* core, std::string* utf8) {
    return ConvertWhole(CORE_CHARSET, ENCODING_UTF8, core, strlen(core), utf8);
}

// SQLite's messages are UTF-8 (English, in practice); what the core's form
// lacks is dropped rather than the message lost.
static void MessageToCore(const char* utf8, char* out, size_t size) {
    TextConversion result;
    ConvertText(ENCODING_UTF8, CORE_CHARSET, MISSING_DROP, utf8, strlen(utf8), out, size - 1, &result);
    out[result.written < size ? result.written : size - 1] = '\0';
}

// ---- Failures -------------------------------------------------------------

static ErrorText LibraryError(ImageLibrary* library) { return ErrorText{library->error, sizeof library->error}; }

static void PutSqliteError(ErrorText error, const char* path, sqlite3* db, int code) {
    char reason[LIBRARY_MESSAGE_BYTES];
    MessageToCore(db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code), reason, sizeof reason);
    PutError(error, FORMAT_LIBRARY_FAILED, path, reason);
}

static int Failed(ImageLibrary* library, int code) {
    PutSqliteError(LibraryError(library), library->path, library->db, code);
    return 0;
}

// Runs a prepared statement that returns no rows to its end and resets it.
static int StepToEnd(ImageLibrary* library, sqlite3_stmt* statement) {
    int code = sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return code == SQLITE_DONE ? 1 : Failed(library, code);
}

static bool BindText(sqlite3_stmt* statement, int index, const std::string& text) {
    return sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) ==
           SQLITE_OK;
}

// ---- Rows and their files -------------------------------------------------

// Reads the current row of a SELECT_COLUMNS statement into *out; false when a
// text does not fit or convert (the row cannot name a file of the core's).
static bool ReadEntry(sqlite3_stmt* statement, ImageEntry* out) {
    std::string file;
    const char* utf8 = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    const char* hash = reinterpret_cast<const char*>(sqlite3_column_text(statement, 3));
    if (utf8 == nullptr || hash == nullptr ||
        !ConvertWhole(ENCODING_UTF8, CORE_CHARSET, utf8, static_cast<size_t>(sqlite3_column_bytes(statement, 1)),
                      &file) ||
        file.size() >= sizeof out->file || strlen(hash) + 1 != sizeof out->sha256) {
        return false;
    }
    memcpy(out->file, file.c_str(), file.size() + 1);
    memcpy(out->sha256, hash, sizeof out->sha256);
    out->size = sqlite3_column_int64(statement, 2);
    out->stored = sqlite3_column_int64(statement, 4);
    return true;
}

// Whether the row's file is still the one recorded.
static bool FileStillMatches(const ImageEntry& entry, ImageCheck check) {
    FileIdentity identity;
    if (IdentifyFileByPath(entry.file, &identity) != 1 || identity.size != entry.size) {
        return false;
    }
    if (check == CHECK_SIZE) {
        return true;
    }
    char sha256[SHA256_HEX_SIZE];
    long long size = 0;
    return HashFileSha256(entry.file, sha256, &size) == 1 && size == entry.size && strcmp(sha256, entry.sha256) == 0;
}

// Drops the row of `address` (UTF-8), committed and pending.
static int DropRow(ImageLibrary* library, const std::string& address) {
    if (!BindText(library->dropRow, 1, address) || !StepToEnd(library, library->dropRow)) {
        return 0;
    }
    return BindText(library->dropPending, 1, address) && StepToEnd(library, library->dropPending) ? 1 : 0;
}

// The first usable row `statement` (bound already) gives, dropping the stale
// rows before it.  The statement is reset after each drop, so it never reads
// a table it is changing.
static int FirstUsableRow(ImageLibrary* library, sqlite3_stmt* statement, ImageEntry* out, ImageCheck check) {
    for (;;) {
        int code = sqlite3_step(statement);
        if (code == SQLITE_DONE) {
            sqlite3_reset(statement);
            return IMAGE_ABSENT;
        }
        if (code != SQLITE_ROW) {
            sqlite3_reset(statement);
            Failed(library, code);
            return IMAGE_LOOKUP_ERROR;
        }
        const char* address = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        std::string stale(address != nullptr ? address : "");
        if (ReadEntry(statement, out) && FileStillMatches(*out, check)) {
            sqlite3_reset(statement);
            return IMAGE_PRESENT;
        }
        sqlite3_reset(statement);
        if (!DropRow(library, stale)) {
            return IMAGE_LOOKUP_ERROR;
        }
    }
}

static void RollBack(ImageLibrary* library);

// Writes the rows RecordImage kept into temp.pending, in one transaction of
// their own.  Inside another's transaction (a batch of claims) they wait
// for a later call, so no rollback of that one can take them: what they
// hide meanwhile is only this value's own rows, which its caller knows.
static int FlushRecords(ImageLibrary* library) {
    if (library->unrecorded.empty() || sqlite3_get_autocommit(library->db) == 0) {
        return 1;
    }
    int code = sqlite3_exec(library->db, "BEGIN", nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) {
        return Failed(library, code);
    }
    sqlite3_stmt* statement = library->recordPending;
    const sqlite3_int64 now = static_cast<sqlite3_int64>(time(nullptr));
    for (const ImageLibrary::Unrecorded& row : library->unrecorded) {
        if (!BindText(statement, 1, row.address) || !BindText(statement, 2, row.file) ||
            sqlite3_bind_int64(statement, 3, row.size) != SQLITE_OK || !BindText(statement, 4, row.sha256) ||
            sqlite3_bind_int64(statement, 5, now) != SQLITE_OK) {
            sqlite3_clear_bindings(statement);
            RollBack(library);
            return Failed(library, SQLITE_NOMEM);
        }
        if (!StepToEnd(library, statement)) {
            RollBack(library);
            return 0;
        }
    }
    if (!StepToEnd(library, library->commit)) {
        RollBack(library);
        return 0;
    }
    library->unrecorded.clear();
    return 1;
}

int LookUpImage(ImageLibrary* library, const char* address, ImageEntry* out, ImageCheck check) {
    library->error[0] = '\0';
    if (!FlushRecords(library)) {
        return IMAGE_LOOKUP_ERROR;
    }
    std::string utf8;
    if (!ToUtf8(address, &utf8)) {
        return IMAGE_ABSENT;  // no row can hold it
    }
    if (!BindText(library->lookUp, 1, utf8)) {
        Failed(library, SQLITE_NOMEM);
        return IMAGE_LOOKUP_ERROR;
    }
    int found = FirstUsableRow(library, library->lookUp, out, check);
    sqlite3_clear_bindings(library->lookUp);
    return found;
}

// A row's content in a word: its size and the first bytes of its hash.
static unsigned long long ContentKey(long long size, const char* sha256) {
    return static_cast<unsigned long long>(size) * 0x9E3779B97F4A7C15ull ^
           strtoull(std::string(sha256, 16).c_str(), nullptr, 16);
}

int FindImageByContent(ImageLibrary* library, long long size, const char* sha256, ImageEntry* out) {
    library->error[0] = '\0';
    if (strlen(sha256) < 16 || library->contents.count(ContentKey(size, sha256)) == 0) {
        return IMAGE_ABSENT;
    }
    if (!FlushRecords(library)) {
        return IMAGE_LOOKUP_ERROR;
    }
    if (sqlite3_bind_int64(library->findContent, 1, size) != SQLITE_OK ||
        sqlite3_bind_text(library->findContent, 2, sha256, -1, SQLITE_TRANSIENT) != SQLITE_OK) {
        Failed(library, SQLITE_NOMEM);
        return IMAGE_LOOKUP_ERROR;
    }
    int found = FirstUsableRow(library, library->findContent, out, CHECK_SIZE_AND_HASH);
    sqlite3_clear_bindings(library->findContent);
    return found;
}

int RecordImage(ImageLibrary* library, const char* address, const char* file, long long size, const char* sha256) {
    library->error[0] = '\0';
    if (strlen(sha256) + 1 != SHA256_HEX_SIZE) {
        PutError(LibraryError(library), FORMAT_LIBRARY_FAILED, library->path, sqlite3_errstr(SQLITE_MISMATCH));
        return 0;
    }
    std::string addressUtf8;
    std::string fileUtf8;
    if (!ToUtf8(address, &addressUtf8) || !ToUtf8(file, &fileUtf8)) {
        PutError(LibraryError(library), FORMAT_LIBRARY_FAILED, library->path, MESSAGE_LIBRARY_TEXT_FORM);
        return 0;
    }
    library->unrecorded.push_back({addressUtf8, fileUtf8, sha256, size});
    library->contents.insert(ContentKey(size, sha256));
    return 1;
}

// Ends a failed write transaction, keeping the failure's reason.
static void RollBack(ImageLibrary* library) {
    char reason[LIBRARY_MESSAGE_BYTES];
    memcpy(reason, library->error, sizeof reason);
    if (sqlite3_get_autocommit(library->db) == 0) {
        StepToEnd(library, library->rollback);
    }
    memcpy(library->error, reason, sizeof reason);
}

int CommitImageLibrary(ImageLibrary* library) {
    library->error[0] = '\0';
    if (!FlushRecords(library) || !StepToEnd(library, library->begin)) {
        return 0;
    }
    if (StepToEnd(library, library->movePending) && StepToEnd(library, library->endCommittedClaims) &&
        StepToEnd(library, library->clearPending) && StepToEnd(library, library->commit)) {
        return 1;
    }
    // The pending rows stay for the next commit: the rollback restores the
    // temporary table with the rest.
    RollBack(library);
    return 0;
}

// ---- Claims ---------------------------------------------------------------

// Who holds the claim of an address.
enum ClaimHolder {
    HOLDER_ERROR = -1,
    HOLDER_NONE = 0,       // no claim, or a stale one: free to take
    HOLDER_SELF = 1,       // this library value
    HOLDER_ELSEWHERE = 2,  // another value whose process runs, claimed within the lifetime
};

static ClaimHolder HolderOf(ImageLibrary* library, const std::string& address) {
    sqlite3_stmt* statement = library->claimOf;
    if (!BindText(statement, 1, address)) {
        Failed(library, SQLITE_NOMEM);
        return HOLDER_ERROR;
    }
    int code = sqlite3_step(statement);
    ClaimHolder holder = HOLDER_NONE;
    if (code == SQLITE_ROW) {
        const char* owner = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        long long age = static_cast<long long>(time(nullptr)) - sqlite3_column_int64(statement, 2);
        if (owner != nullptr && strcmp(owner, library->owner) == 0) {
            holder = HOLDER_SELF;
        } else if (age < IMAGE_CLAIM_LIFETIME_SECONDS &&
                   IsProcessRunning(static_cast<long>(sqlite3_column_int64(statement, 1))) == 1) {
            holder = HOLDER_ELSEWHERE;
        }
    } else if (code != SQLITE_DONE) {
        Failed(library, code);
        holder = HOLDER_ERROR;
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return holder;
}

// ClaimImage's answer, inside its transaction.
static int ClaimInTransaction(ImageLibrary* library, const std::string& address) {
    ImageEntry entry;
    if (!BindText(library->committedRow, 1, address)) {
        Failed(library, SQLITE_NOMEM);
        return IMAGE_CLAIM_ERROR;
    }
    int found = FirstUsableRow(library, library->committedRow, &entry, CHECK_SIZE);
    sqlite3_clear_bindings(library->committedRow);
    if (found != IMAGE_ABSENT) {
        return found == IMAGE_PRESENT ? IMAGE_CLAIM_PRESENT : IMAGE_CLAIM_ERROR;
    }
    ClaimHolder holder = HolderOf(library, address);
    if (holder == HOLDER_ERROR || holder == HOLDER_ELSEWHERE) {
        return holder == HOLDER_ERROR ? IMAGE_CLAIM_ERROR : IMAGE_CLAIM_HELD_ELSEWHERE;
    }
    if (!BindText(library->takeClaim, 1, address) ||
        sqlite3_bind_int64(library->takeClaim, 2, static_cast<sqlite3_int64>(time(nullptr))) != SQLITE_OK) {
        sqlite3_clear_bindings(library->takeClaim);
        Failed(library, SQLITE_NOMEM);
        return IMAGE_CLAIM_ERROR;
    }
    return StepToEnd(library, library->takeClaim) ? IMAGE_CLAIM_TAKEN : IMAGE_CLAIM_ERROR;
}

int BeginImageClaims(ImageLibrary* library) {
    library->error[0] = '\0';
    library->inClaims = StepToEnd(library, library->begin) != 0;
    return library->inClaims ? 1 : 0;
}

int EndImageClaims(ImageLibrary* library) {
    if (!library->inClaims) {
        return 1;
    }
    library->inClaims = false;
    if (StepToEnd(library, library->commit)) {
        return 1;
    }
    RollBack(library);
    return 0;
}

int ClaimImage(ImageLibrary* library, const char* address) {
    library->error[0] = '\0';
    std::string utf8;
    if (!ToUtf8(address, &utf8)) {
        return IMAGE_CLAIM_TAKEN;  // no row can hold it, nobody else can claim it
    }
    if (library->inClaims) {
        const int answer = ClaimInTransaction(library, utf8);
        if (answer == IMAGE_CLAIM_ERROR) {
            // The batch's claims go with it; their downloads go on unclaimed.
            library->inClaims = false;
            RollBack(library);
        }
        library->claimed = library->claimed || answer == IMAGE_CLAIM_TAKEN;
        return answer;
    }
    // Immediate: the look and the claim are one step for every process.
    if (!StepToEnd(library, library->begin)) {
        return IMAGE_CLAIM_ERROR;
    }
    int answer = ClaimInTransaction(library, utf8);
    if (answer != IMAGE_CLAIM_ERROR && StepToEnd(library, library->commit)) {
        library->claimed = library->claimed || answer == IMAGE_CLAIM_TAKEN;
        return answer;
    }
    RollBack(library);
    return IMAGE_CLAIM_ERROR;
}

int ReleaseClaim(ImageLibrary* library, const char* address) {
    library->error[0] = '\0';
    std::string utf8;
    if (!ToUtf8(address, &utf8)) {
        return 1;  // never claimed
    }
    if (!BindText(library->releaseClaim, 1, utf8)) {
        return Failed(library, SQLITE_NOMEM);
    }
    return StepToEnd(library, library->releaseClaim);
}

int AwaitClaimedImage(ImageLibrary* library, const char* address, const std::atomic<int>* stop,
                      void (*beforeWait)(void* context), void* context, ImageEntry* out) {
    library->error[0] = '\0';
    std::string utf8;
    if (!ToUtf8(address, &utf8)) {
        return IMAGE_ABSENT;
    }
    // Full at the start: the first pause is preceded by a call.
    unsigned sinceCall = IMAGE_AWAIT_SYNC_MILLISECONDS;
    while (stop == nullptr || stop->load() == 0) {
        // The claim before the row: a commit ends the claim and adds the
        // row at once, so a claim seen gone here means the row, if one
        // comes, is there for the look below.
        ClaimHolder holder = HolderOf(library, utf8);
        if (holder == HOLDER_ERROR) {
            return IMAGE_LOOKUP_ERROR;
        }
        int found = LookUpImage(library, address, out, CHECK_SIZE_AND_HASH);
        if (found != IMAGE_ABSENT || holder != HOLDER_ELSEWHERE) {
            return found;
        }
        if (sinceCall >= IMAGE_AWAIT_SYNC_MILLISECONDS) {
            if (beforeWait != nullptr) {
                beforeWait(context);
            }
            sinceCall = 0;
        }
        SleepMilliseconds(IMAGE_AWAIT_POLL_MILLISECONDS);
        sinceCall += IMAGE_AWAIT_POLL_MILLISECONDS;
    }
    return IMAGE_ABSENT;
}

// ---- Opening --------------------------------------------------------------

static void FinalizeStatements(ImageLibrary* library) {
    sqlite3_stmt** statements[] = {
        &library->recordPending, &library->lookUp,       &library->findContent,        &library->dropRow,
        &library->dropPending,   &library->begin,        &library->movePending,        &library->clearPending,
        &library->commit,        &library->rollback,     &library->committedRow,       &library->claimOf,
        &library->takeClaim,     &library->releaseClaim, &library->endCommittedClaims, &library->releaseAllClaims};
    for (sqlite3_stmt** statement : statements) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
}

void CloseImageLibrary(ImageLibrary* library) {
    if (library == nullptr) {
        return;
    }
    // What it still claims is another's to download now; a failure here
    // leaves claims that go stale with this process.
    if (library->claimed && library->releaseAllClaims != nullptr) {
        StepToEnd(library, library->releaseAllClaims);
    }
    FinalizeStatements(library);
    sqlite3_close(library->db);
    delete library;
}

const char* ImageLibraryError(const ImageLibrary* library) { return library->error; }

// A row's file is missing: the check `DELETE ... WHERE` asks of each row at
// open.  Files are named in UTF-8 in the database, in the core's form here.
static void FileIsMissing(sqlite3_context* context, int count, sqlite3_value** values) {
    const char* utf8 = reinterpret_cast<const char*>(sqlite3_value_text(values[0]));
    std::string file;
    bool missing =
        utf8 == nullptr ||
        !ConvertWhole(ENCODING_UTF8, CORE_CHARSET, utf8, static_cast<size_t>(sqlite3_value_bytes(values[0])), &file) ||
        IsPlainFileByPath(file.c_str()) != 1;
    sqlite3_result_int(context, missing ? 1 : 0);
}

// How opening one database file went.
enum OpenResult { OPEN_DONE, OPEN_DAMAGED, OPEN_FAILED };

static bool IsDamage(int code) { return (code & 0xFF) == SQLITE_NOTADB || (code & 0xFF) == SQLITE_CORRUPT; }

static OpenResult Prepare(ImageLibrary* library, const char* sql, sqlite3_stmt** statement) {
    int code = sqlite3_prepare_v3(library->db, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr);
    if (code != SQLITE_OK) {
        Failed(library, code);
        return IsDamage(code) ? OPEN_DAMAGED : OPEN_FAILED;
    }
    return OPEN_DONE;
}

static OpenResult Execute(ImageLibrary* library, const char* sql) {
    int code = sqlite3_exec(library->db, sql, nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) {
        Failed(library, code);
        return IsDamage(code) ? OPEN_DAMAGED : OPEN_FAILED;
    }
    return OPEN_DONE;
}

// The single integer a PRAGMA answers, or the text of its first row
// compared with "ok" (quick_check): OPEN_DONE when it reads as asked.
static OpenResult AskPragma(ImageLibrary* library, const char* sql, int* number, bool wantOk) {
    sqlite3_stmt* statement = nullptr;
    OpenResult prepared = Prepare(library, sql, &statement);
    if (prepared != OPEN_DONE) {
        return prepared;
    }
    int code = sqlite3_step(statement);
    OpenResult result = OPEN_DONE;
    if (code != SQLITE_ROW) {
        Failed(library, code);
        result = IsDamage(code) ? OPEN_DAMAGED : OPEN_FAILED;
    } else if (wantOk) {
        const char* answer = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        if (answer == nullptr || strcmp(answer, "ok") != 0) {
            MessageToCore(answer != nullptr ? answer : "?", library->error, sizeof library->error);
            result = OPEN_DAMAGED;
        }
    } else if (number != nullptr) {
        *number = sqlite3_column_int(statement, 0);
    }
    sqlite3_finalize(statement);
    return result;
}

// Puts the database in WAL mode (a no-op once it is).  The switch takes the
// database for itself, and SQLite answers SQLITE_BUSY at once, without the
// busy timeout, while another process has it open: so it is tried again
// here, within the same budget.  In WAL mode, synchronous=NORMAL syncs at
// WAL checkpoints rather than at every commit: a power cut may then lose the
// last commits, never the database's consistency, and a lost row only
// forgets a file (which the next run downloads again), while a claim or a
// commit per image costs no sync.
static OpenResult SwitchToWal(ImageLibrary* library) {
    int code = SQLITE_BUSY;
    for (unsigned waited = 0; waited <= LIBRARY_BUSY_MILLISECONDS; waited += WAL_SWITCH_PAUSE_MILLISECONDS) {
        code = sqlite3_exec(library->db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA temp_store=MEMORY",
                            nullptr, nullptr, nullptr);
        if ((code & 0xFF) != SQLITE_BUSY) {
            break;
        }
        SleepMilliseconds(WAL_SWITCH_PAUSE_MILLISECONDS);
    }
    if (code != SQLITE_OK) {
        Failed(library, code);
        return IsDamage(code) ? OPEN_DAMAGED : OPEN_FAILED;
    }
    return OPEN_DONE;
}

// Whether the file at `path` is plainly no SQLite database: there, not
// empty, and without the header's first 16 bytes.  Told before SQLite opens
// it, since SQLite would remove a -wal beside a file it cannot read as a
// database in WAL mode, and a damaged library's companions are kept.
static bool PlainlyNoDatabase(const char* path) {
    static const char MAGIC[] = "SQLite format 3";  // with its NUL, 16 bytes
    FILE* file = OpenFileByPath(path, "rb");
    if (file == nullptr) {
        return false;  // missing: a new library; unreadable: SQLite says why
    }
    char head[sizeof MAGIC];
    size_t got = ReadFileBytes(file, head, sizeof head);
    CloseFile(file);
    return got > 0 && (got < sizeof head || memcmp(head, MAGIC, sizeof MAGIC) != 0);
}

// Opens the database at library->path as a library: WAL, the busy timeout,
// the checks, the schema and the statements.
static OpenResult OpenDatabase(ImageLibrary* library, const std::string& utf8Path) {
    if (PlainlyNoDatabase(library->path)) {
        PutError(LibraryError(library), FORMAT_LIBRARY_FAILED, library->path, sqlite3_errstr(SQLITE_NOTADB));
        return OPEN_DAMAGED;
    }
    int code = sqlite3_open_v2(utf8Path.c_str(), &library->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (code != SQLITE_OK) {
        Failed(library, code);
        return IsDamage(code) ? OPEN_DAMAGED : OPEN_FAILED;
    }
    sqlite3_extended_result_codes(library->db, 1);
    sqlite3_busy_timeout(library->db, static_cast<int>(LIBRARY_BUSY_MILLISECONDS));
    OpenResult result = AskPragma(library, "PRAGMA quick_check", nullptr, true);
    int version = 0;
    if (result == OPEN_DONE) {
        result = SwitchToWal(library);
    }
    if (result == OPEN_DONE) {
        result = AskPragma(library, "PRAGMA user_version", &version, false);
    }
    if (result != OPEN_DONE) {
        return result;
    }
    if (version > IMAGE_LIBRARY_SCHEMA_VERSION) {
        PutError(LibraryError(library), FORMAT_LIBRARY_NEWER, library->path, version);
        return OPEN_FAILED;
    }
    if (version < IMAGE_LIBRARY_SCHEMA_VERSION) {
        // Two processes may begin the same new library: the immediate
        // transaction lets one make the schema, the other then finds it.
        std::string make = std::string("BEGIN IMMEDIATE;") + SCHEMA +
                           "PRAGMA user_version=" + std::to_string(IMAGE_LIBRARY_SCHEMA_VERSION) + "; COMMIT;";
        result = Execute(library, make.c_str());
        if (result != OPEN_DONE) {
            sqlite3_exec(library->db, "ROLLBACK", nullptr, nullptr, nullptr);
            return result;
        }
    }
    result = Execute(library, PENDING_SCHEMA);
    if (result == OPEN_DONE && sqlite3_create_function(library->db, "karvelo_file_missing", 1, SQLITE_UTF8, nullptr,
                                                       FileIsMissing, nullptr, nullptr) != SQLITE_OK) {
        result = OPEN_FAILED;
        Failed(library, SQLITE_ERROR);
    }
    if (result == OPEN_DONE) {
        result = Execute(library, "DELETE FROM main.images WHERE karvelo_file_missing(file)");
    }
    const std::string columns = SELECT_COLUMNS;
    const std::string lookUp = "SELECT " + columns + ", 0 FROM temp.pending WHERE address = ?1 UNION ALL SELECT " +
                               columns + ", 1 FROM main.images WHERE address = ?1 ORDER BY 6 LIMIT 1";
    const std::string findContent = "SELECT " + columns +
                                    ", 0 FROM temp.pending WHERE size = ?1 AND sha256 = ?2 UNION ALL SELECT " +
                                    columns + ", 1 FROM main.images WHERE size = ?1 AND sha256 = ?2 ORDER BY 6 LIMIT 1";
    const std::string movePending = "INSERT OR REPLACE INTO main.images SELECT " + columns + " FROM temp.pending";
    const std::string committedRow = "SELECT " + columns + ", 1 FROM main.images WHERE address = ?1";
    const std::string owner = std::string("'") + library->owner + "'";
    const std::string takeClaim =
        "INSERT OR REPLACE INTO main.claims VALUES(?1, " + owner + ", " + std::to_string(CurrentProcessId()) + ", ?2)";
    const std::string releaseClaim = "DELETE FROM main.claims WHERE address = ?1 AND owner = " + owner;
    const std::string endCommittedClaims =
        "DELETE FROM main.claims WHERE owner = " + owner + " AND address IN (SELECT address FROM temp.pending)";
    const std::string releaseAllClaims = "DELETE FROM main.claims WHERE owner = " + owner;
    struct {
        const char* sql;
        sqlite3_stmt** statement;
    } const statements[] = {
        {"INSERT OR REPLACE INTO temp.pending VALUES(?1, ?2, ?3, ?4, ?5)", &library->recordPending},
        {lookUp.c_str(), &library->lookUp},
        {findContent.c_str(), &library->findContent},
        {"DELETE FROM main.images WHERE address = ?1", &library->dropRow},
        {"DELETE FROM temp.pending WHERE address = ?1", &library->dropPending},
        {"BEGIN IMMEDIATE", &library->begin},
        {movePending.c_str(), &library->movePending},
        {"DELETE FROM temp.pending", &library->clearPending},
        {"COMMIT", &library->commit},
        {"ROLLBACK", &library->rollback},
        {committedRow.c_str(), &library->committedRow},
        {"SELECT owner, pid, claimed FROM main.claims WHERE address = ?1", &library->claimOf},
        {takeClaim.c_str(), &library->takeClaim},
        {releaseClaim.c_str(), &library->releaseClaim},
        {endCommittedClaims.c_str(), &library->endCommittedClaims},
        {releaseAllClaims.c_str(), &library->releaseAllClaims},
    };
    for (const auto& entry : statements) {
        if (result == OPEN_DONE) {
            result = Prepare(library, entry.sql, entry.statement);
        }
    }
    return result;
}

// Renames the damaged database and its -wal and -shm files to the first free
// library.sqlite3.damaged-N (never over anything); the name into `aside`.
static bool SetAside(const char* path, char* aside, size_t size) {
    const char* const companions[] = {"-wal", "-shm"};
    for (int n = 1; n <= MOST_DAMAGED_COPIES; n++) {
        snprintf(aside, size, "%s.damaged-%d", path, n);
        if (FileModeOfPath(aside) != -1 || MoveFileByPath(path, aside) != 1) {
            if (FileModeOfPath(path) == -1) {
                return false;  // the database itself is gone
            }
            continue;
        }
        for (const char* companion : companions) {
            std::string from = std::string(path) + companion;
            std::string to = std::string(aside) + companion;
            // A -wal left beside a new database would be read into it.
            if (FileModeOfPath(from.c_str()) != -1 && MoveFileByPath(from.c_str(), to.c_str()) != 1) {
                return false;
            }
        }
        return true;
    }
    return false;
}

// Reads the contents of the rows there are (ImageLibrary::contents).
static bool NoteContents(ImageLibrary* library) {
    sqlite3_stmt* statement = nullptr;
    int code = sqlite3_prepare_v2(library->db, "SELECT size, sha256 FROM main.images", -1, &statement, nullptr);
    while (code == SQLITE_OK && (code = sqlite3_step(statement)) == SQLITE_ROW) {
        const char* sha256 = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
        if (sha256 != nullptr && strlen(sha256) >= 16)
            library->contents.insert(ContentKey(sqlite3_column_int64(statement, 0), sha256));
        code = SQLITE_OK;
    }
    sqlite3_finalize(statement);
    if (code != SQLITE_DONE) {
        Failed(library, code);
        return false;
    }
    return true;
}

ImageLibrary* OpenImageLibrary(const char* destination, char* message, size_t size) {
    ErrorText error{message, size};
    if (size > 0) {
        message[0] = '\0';
    }
    char folder[MAX_PATH_BYTES];
    int folderLength = snprintf(
        folder, sizeof folder, "%s%s" IMAGE_LIBRARY_FOLDER, destination,
        destination[0] != '\0' && destination[strlen(destination) - 1] == PATH_SEPARATOR ? "" : PATH_SEPARATOR_TEXT);
    ImageLibrary* library = new (std::nothrow) ImageLibrary();
    if (library == nullptr) {
        PutError(error, FORMAT_LIBRARY_FAILED, destination, sqlite3_errstr(SQLITE_NOMEM));
        return nullptr;
    }
    unsigned long long random = 0;
    sqlite3_randomness(sizeof random, &random);
    snprintf(library->owner, sizeof library->owner, "%lx-%016llx", CurrentProcessId(), random);
    int pathLength = snprintf(library->path, sizeof library->path, "%s" PATH_SEPARATOR_TEXT IMAGE_LIBRARY_FILE, folder);
    std::string utf8Path;
    if (folderLength < 0 || pathLength < 0 || static_cast<size_t>(pathLength) >= sizeof library->path ||
        MakeFolderWithParents(folder) != 1 || !ToUtf8(library->path, &utf8Path)) {
        PutError(error, FORMAT_LIBRARY_FOLDER, folder);
        delete library;
        return nullptr;
    }
    OpenResult result = OpenDatabase(library, utf8Path);
    if (result == OPEN_DAMAGED) {
        FinalizeStatements(library);
        sqlite3_close(library->db);
        library->db = nullptr;
        char aside[MAX_PATH_BYTES + 32];
        if (!SetAside(library->path, aside, sizeof aside)) {
            PutError(error, FORMAT_LIBRARY_NOT_SET_ASIDE, library->path, library->error);
            delete library;
            return nullptr;
        }
        PutError(error, FORMAT_LIBRARY_SET_ASIDE, library->path, aside);
        library->error[0] = '\0';
        result = OpenDatabase(library, utf8Path);
    }
    if (result != OPEN_DONE) {
        // The reason is the library's own message; a set-aside said before
        // it stays in front.
        size_t used = size > 0 ? strlen(message) : 0;
        PutError(ErrorText{message + used, size - used}, "%s%s", used > 0 ? "; " : "", library->error);
        CloseImageLibrary(library);
        return nullptr;
    }
    if (!NoteContents(library)) {
        snprintf(message, size, "%s", library->error);
        CloseImageLibrary(library);
        return nullptr;
    }
    library->error[0] = '\0';
    return library;
}
