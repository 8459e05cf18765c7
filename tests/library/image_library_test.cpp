// The image library against real files and a real SQLite database: rows
// survive a reopen only when committed, stale rows are dropped, damaged
// databases are set aside, and two processes share one library.
#include "library/image_library.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/thread.h"

#include "support/temp_dir.h"

namespace {

const size_t MESSAGE_BYTES = 2048;

std::string HexOf(const std::string& bytes) {
    Sha256Hasher* hasher = NewSha256();
    unsigned char digest[SHA256_DIGEST_BYTES];
    EXPECT_EQ(UpdateSha256(hasher, bytes.data(), bytes.size()), 1);
    EXPECT_EQ(FinalSha256(hasher, digest), 1);
    FreeSha256(hasher);
    char hex[SHA256_HEX_SIZE];
    Sha256Hex(digest, hex);
    return hex;
}

std::string DatabaseOf(const TempDir& dest) {
    return dest.File(IMAGE_LIBRARY_FOLDER PATH_SEPARATOR_TEXT IMAGE_LIBRARY_FILE);
}

bool RemoveFile(const std::string& path) { return std::filesystem::remove(std::filesystem::u8path(path)); }

#ifndef _WIN32  // for the claims' tests, which fork
// Runs `sql` on the database as another program would; SQLite's answer.
int ExecuteOn(const std::string& database, const std::string& sql) {
    sqlite3* db = nullptr;
    int code = sqlite3_open(database.c_str(), &db);
    if (code == SQLITE_OK) {
        sqlite3_busy_timeout(db, 10000);
        code = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3_close(db);
    return code;
}
#endif

// What SQLite itself says of the database: integrity_check's answer and the
// number of rows of `table`.
std::string IntegrityOf(const std::string& database, int* rows = nullptr, const char* table = "images") {
    sqlite3* db = nullptr;
    std::string answer = "cannot open";
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            answer = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        }
        sqlite3_finalize(statement);
        statement = nullptr;
        if (rows != nullptr &&
            sqlite3_prepare_v2(db, ("SELECT count(*) FROM " + std::string(table)).c_str(), -1, &statement, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            *rows = sqlite3_column_int(statement, 0);
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return answer;
}

ImageLibrary* Open(const TempDir& dest, std::string* message = nullptr) {
    char text[MESSAGE_BYTES];
    ImageLibrary* library = OpenImageLibrary(dest.path().c_str(), text, sizeof text);
    EXPECT_NE(library, nullptr) << text;
    if (message != nullptr) {
        *message = text;
    }
    return library;
}

// An image written into DEST and recorded: its address, the file's name in
// the core's form (GBK bytes for Chinese) and on disk (UTF-8), its bytes.
struct Image {
    std::string address;
    std::string coreName;
    std::string diskName;
    std::string bytes;
};

const std::vector<Image> IMAGES = {
    {"http://img.example/a.jpg", "a.jpg", "a.jpg", "JPEG bytes of a"},
    {"https://img.example/b.png?x=1", "b.png", "b.png", std::string("PNG\0with a nul", 14)},
    {"http://img.example/\xCD\xBC.gif", "\xCD\xBC.gif", "\xE5\x9B\xBE.gif", "GIF89a picture"},
    {"http://img.example/empty", "empty", "empty", ""},
};

void Store(const TempDir& dest, ImageLibrary* library, const Image& image) {
    ASSERT_TRUE(WriteWholeFile(dest.File(image.diskName), image.bytes));
    ASSERT_EQ(RecordImage(library, image.address.c_str(), dest.File(image.coreName).c_str(),
                          static_cast<long long>(image.bytes.size()), HexOf(image.bytes).c_str()),
              1)
        << ImageLibraryError(library);
}

void ExpectPresent(const TempDir& dest, ImageLibrary* library, const Image& image, ImageCheck check) {
    ImageEntry entry;
    ASSERT_EQ(LookUpImage(library, image.address.c_str(), &entry, check), IMAGE_PRESENT) << image.address;
    EXPECT_EQ(std::string(entry.file), dest.File(image.coreName));
    EXPECT_EQ(entry.size, static_cast<long long>(image.bytes.size()));
    EXPECT_EQ(std::string(entry.sha256), HexOf(image.bytes));
    EXPECT_GT(entry.stored, 0);
}

int LookUp(ImageLibrary* library, const std::string& address, ImageCheck check = CHECK_SIZE) {
    ImageEntry entry;
    return LookUpImage(library, address.c_str(), &entry, check);
}

TEST(ImageLibraryTest, RecordedRowsSeenAtOnceAndAfterReopenOnlyOnceCommitted) {
    TempDir dest;
    ImageLibrary* library = Open(dest);
    ASSERT_NE(library, nullptr);
    for (const Image& image : IMAGES) {
        Store(dest, library, image);
        ExpectPresent(dest, library, image, CHECK_SIZE_AND_HASH);  // pending, seen by its own library
    }
    ASSERT_EQ(CommitImageLibrary(library), 1) << ImageLibraryError(library);
    // Recorded after the commit and never committed: gone with the close, as
    // after a crash, while its file stays.
    const Image late = {"http://img.example/late.jpg", "late.jpg", "late.jpg", "late bytes"};
    Store(dest, library, late);
    // A record of a committed address replaces it once committed.
    const Image moved = {IMAGES[0].address, "a2.jpg", "a2.jpg", "the new a"};
    Store(dest, library, moved);
    ExpectPresent(dest, library, moved, CHECK_SIZE_AND_HASH);
    CloseImageLibrary(library);

    library = Open(dest);
    ASSERT_NE(library, nullptr);
    for (const Image& image : IMAGES) {
        ExpectPresent(dest, library, image, CHECK_SIZE_AND_HASH);
    }
    EXPECT_EQ(LookUp(library, late.address), IMAGE_ABSENT);
    EXPECT_TRUE(PathExists(dest.File(late.diskName)));
    EXPECT_EQ(LookUp(library, "http://img.example/never"), IMAGE_ABSENT);
    EXPECT_EQ(CommitImageLibrary(library), 1);  // nothing pending
    CloseImageLibrary(library);
    int rows = 0;
    EXPECT_EQ(IntegrityOf(DatabaseOf(dest), &rows), "ok");
    EXPECT_EQ(rows, static_cast<int>(IMAGES.size()));
}

// A row is dropped when its file has gone or changed, as far as the check
// asked for sees; at open, rows whose file is missing are dropped unasked.
TEST(ImageLibraryTest, RowsWhoseFileWentOrChangedAreDropped) {
    struct Case {
        const char* name;
        std::string after;  // the file's bytes later; "gone" removes it
        ImageCheck check;
        int expected;
    };
    const Case cases[] = {
        {"unchanged", "12345678", CHECK_SIZE_AND_HASH, IMAGE_PRESENT},
        {"gone", "gone", CHECK_SIZE, IMAGE_ABSENT},
        {"longer", "123456789", CHECK_SIZE, IMAGE_ABSENT},
        {"same size, size checked", "abcdefgh", CHECK_SIZE, IMAGE_PRESENT},
        {"same size, hash checked", "abcdefgh", CHECK_SIZE_AND_HASH, IMAGE_ABSENT},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dest;
        ImageLibrary* library = Open(dest);
        ASSERT_NE(library, nullptr);
        const Image image = {"http://img.example/x.jpg", "x.jpg", "x.jpg", "12345678"};
        Store(dest, library, image);
        ASSERT_EQ(CommitImageLibrary(library), 1);
        if (test.after == "gone") {
            ASSERT_TRUE(RemoveFile(dest.File(image.diskName)));
        } else {
            ASSERT_TRUE(WriteWholeFile(dest.File(image.diskName), test.after));
        }
        EXPECT_EQ(LookUp(library, image.address, test.check), test.expected);
        // A dropped row stays dropped, whatever the next check asks.
        if (test.expected == IMAGE_ABSENT) {
            ASSERT_TRUE(WriteWholeFile(dest.File(image.diskName), image.bytes));
            EXPECT_EQ(LookUp(library, image.address, CHECK_SIZE), IMAGE_ABSENT);
        }
        CloseImageLibrary(library);
        int rows = -1;
        EXPECT_EQ(IntegrityOf(DatabaseOf(dest), &rows), "ok");
        EXPECT_EQ(rows, test.expected == IMAGE_PRESENT ? 1 : 0);
    }

    TempDir dest;
    ImageLibrary* library = Open(dest);
    ASSERT_NE(library, nullptr);
    for (const Image& image : IMAGES) {
        Store(dest, library, image);
    }
    ASSERT_EQ(CommitImageLibrary(library), 1);
    CloseImageLibrary(library);
    ASSERT_TRUE(RemoveFile(dest.File(IMAGES[1].diskName)));
    ASSERT_TRUE(RemoveFile(dest.File(IMAGES[2].diskName)));
    library = Open(dest);
    ASSERT_NE(library, nullptr);
    CloseImageLibrary(library);
    int rows = -1;
    EXPECT_EQ(IntegrityOf(DatabaseOf(dest), &rows), "ok");
    EXPECT_EQ(rows, static_cast<int>(IMAGES.size()) - 2);
}

TEST(ImageLibraryTest, IdenticalContentFoundBySizeAndHash) {
    TempDir dest;
    ImageLibrary* library = Open(dest);
    ASSERT_NE(library, nullptr);
    const Image committed = {"http://img.example/one.jpg", "one.jpg", "one.jpg", "the same picture"};
    const Image pending = {"http://img.example/two.jpg", "two.jpg", "two.jpg", "another picture!"};
    Store(dest, library, committed);
    ASSERT_EQ(CommitImageLibrary(library), 1);
    Store(dest, library, pending);

    struct Case {
        long long size;
        std::string sha256;
        const char* found;  // the file's name, or null
    };
    const long long size = static_cast<long long>(committed.bytes.size());
    const Case cases[] = {
        {size, HexOf(committed.bytes), "one.jpg"},
        {size, HexOf(pending.bytes), "two.jpg"},  // pending rows count too
        {size + 1, HexOf(committed.bytes), nullptr},
        {size, HexOf("the same picturE"), nullptr},
    };
    for (const Case& test : cases) {
        ImageEntry entry;
        int found = FindImageByContent(library, test.size, test.sha256.c_str(), &entry);
        if (test.found == nullptr) {
            EXPECT_EQ(found, IMAGE_ABSENT) << test.sha256;
        } else {
            ASSERT_EQ(found, IMAGE_PRESENT) << test.sha256;
            EXPECT_EQ(std::string(entry.file), dest.File(test.found));
        }
    }
    // Same size, other bytes: not the same image any more, and the row goes.
    ASSERT_TRUE(WriteWholeFile(dest.File(committed.diskName), "the same pictur!"));
    ImageEntry entry;
    EXPECT_EQ(FindImageByContent(library, size, HexOf(committed.bytes).c_str(), &entry), IMAGE_ABSENT);
    EXPECT_EQ(LookUp(library, committed.address), IMAGE_ABSENT);
    CloseImageLibrary(library);
    EXPECT_EQ(IntegrityOf(DatabaseOf(dest)), "ok");
}

// A library that fails its checks is renamed, with its companions, never
// deleted, and a new one works in its place.
TEST(ImageLibraryTest, DamagedDatabaseIsSetAsideAndANewOneBegun) {
    // A real library of many pages, cut short.
    std::string whole;
    {
        TempDir source;
        ImageLibrary* library = Open(source);
        ASSERT_NE(library, nullptr);
        for (int i = 0; i < 300; i++) {
            Image image = {"http://img.example/" + std::string(200, 'p') + std::to_string(i), "f" + std::to_string(i),
                           "f" + std::to_string(i), "bytes " + std::to_string(i)};
            Store(source, library, image);
        }
        ASSERT_EQ(CommitImageLibrary(library), 1);
        CloseImageLibrary(library);
        whole = ReadWholeFile(DatabaseOf(source));
        ASSERT_GT(whole.size(), 16u * 4096);
    }
    struct Case {
        const char* name;
        std::string bytes;
        bool withWal;
    };
    const Case cases[] = {
        {"garbage", std::string(5000, '\x5A'), false},
        {"garbage with a -wal", "not a database at all, just text", true},
        {"truncated", whole.substr(0, 5 * 4096), false},
        {"header only", whole.substr(0, 100), false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dest;
        ASSERT_TRUE(std::filesystem::create_directory(std::filesystem::u8path(dest.File(IMAGE_LIBRARY_FOLDER))));
        ASSERT_TRUE(WriteWholeFile(DatabaseOf(dest), test.bytes));
        if (test.withWal) {
            ASSERT_TRUE(WriteWholeFile(DatabaseOf(dest) + "-wal", "stale log"));
        }
        // Twice: the second damaged copy takes the next free name.
        for (int round = 1; round <= 2; round++) {
            if (round == 2) {
                ASSERT_TRUE(WriteWholeFile(DatabaseOf(dest), test.bytes));
            }
            std::string message;
            ImageLibrary* library = Open(dest, &message);
            ASSERT_NE(library, nullptr);
            const std::string aside = DatabaseOf(dest) + ".damaged-" + std::to_string(round);
            EXPECT_NE(message.find(aside), std::string::npos) << message;
            EXPECT_EQ(ReadWholeFile(aside), test.bytes);
            if (test.withWal && round == 1) {
                EXPECT_EQ(ReadWholeFile(aside + "-wal"), "stale log");
            }
            Store(dest, library, IMAGES[0]);
            ASSERT_EQ(CommitImageLibrary(library), 1);
            CloseImageLibrary(library);
            library = Open(dest, &message);
            ASSERT_NE(library, nullptr);
            EXPECT_EQ(message, "");
            ExpectPresent(dest, library, IMAGES[0], CHECK_SIZE_AND_HASH);
            CloseImageLibrary(library);
            EXPECT_EQ(IntegrityOf(DatabaseOf(dest)), "ok");
        }
    }
}

// What cannot be used is refused with a message and left as it is.
TEST(ImageLibraryTest, UnusableDestinationOrNewerLibraryRefused) {
    TempDir dest;
    ASSERT_TRUE(WriteWholeFile(dest.File("file"), "a file, not a folder"));
    char message[MESSAGE_BYTES];
    EXPECT_EQ(OpenImageLibrary(dest.File("file").c_str(), message, sizeof message), nullptr);
    EXPECT_NE(std::string(message).find(".karvelo"), std::string::npos) << message;

    ImageLibrary* library = Open(dest);
    ASSERT_NE(library, nullptr);
    CloseImageLibrary(library);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(DatabaseOf(dest).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(OpenImageLibrary(dest.path().c_str(), message, sizeof message), nullptr);
    EXPECT_NE(std::string(message).find("99"), std::string::npos) << message;
    EXPECT_FALSE(PathExists(DatabaseOf(dest) + ".damaged-1"));
}

// How a wait for another value's claim ends.  beforeWait plays the holder:
// at its call `at` it does `action`, so each end is met for sure.
TEST(ImageLibraryTest, AwaitClaimedImageEnds) {
    enum Action { COMMIT, RELEASE, CLOSE, STOP };
    struct Waiting {
        ImageLibrary* holder;
        const char* address;
        Action action;
        int at;
        int calls;
        std::atomic<int> stop;
    };
    const Image image = {"http://img.example/w.jpg", "w.jpg", "w.jpg", "awaited bytes"};
    const struct {
        Action action;
        int at;
        int expected;
    } cases[] = {{COMMIT, 1, IMAGE_PRESENT},
                 {RELEASE, 1, IMAGE_ABSENT},
                 {CLOSE, 1, IMAGE_ABSENT},
                 {STOP, 1, IMAGE_ABSENT},
                 {STOP, 2, IMAGE_ABSENT}};
    for (const auto& test : cases) {
        SCOPED_TRACE(testing::Message() << test.action << " at call " << test.at);
        TempDir dest;
        Waiting waiting{Open(dest), image.address.c_str(), test.action, test.at, 0, {0}};
        ImageLibrary* library = Open(dest);
        ASSERT_EQ(ClaimImage(waiting.holder, waiting.address), IMAGE_CLAIM_TAKEN);
        Store(dest, waiting.holder, image);
        auto beforeWait = [](void* context) {
            Waiting* w = static_cast<Waiting*>(context);
            if (++w->calls != w->at) return;
            if (w->action == COMMIT) CommitImageLibrary(w->holder);
            if (w->action == RELEASE) ReleaseClaim(w->holder, w->address);
            if (w->action == CLOSE) CloseImageLibrary(w->holder), w->holder = nullptr;
            if (w->action == STOP) w->stop = 1;
        };
        auto started = std::chrono::steady_clock::now();
        ImageEntry entry;
        EXPECT_EQ(AwaitClaimedImage(library, waiting.address, &waiting.stop, beforeWait, &waiting, &entry),
                  test.expected);
        EXPECT_EQ(waiting.calls, test.at);  // once before the first pause, then once a second
        EXPECT_GE(std::chrono::steady_clock::now() - started,
                  std::chrono::milliseconds((test.at - 1) * IMAGE_AWAIT_SYNC_MILLISECONDS));
        if (test.expected == IMAGE_PRESENT) {
            EXPECT_EQ(std::string(entry.file), dest.File(image.coreName));
        }
        CloseImageLibrary(waiting.holder);
        CloseImageLibrary(library);
    }
}

#ifndef _WIN32
// POSIX only from here: the other processes are forks of this one.

// A process id no process has any more: a child's that ended and was reaped.
long DeadProcessId() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return static_cast<long>(child);
}

// Every answer a claim gives, by who holds the address before it (a version
// 1 library, without claims, gains them when opened); then how a claim ends:
// released, committed, closed.
TEST(ImageLibraryTest, ClaimAnswersByHolder) {
    const Image image = {"http://img.example/c.jpg", "c.jpg", "c.jpg", "claimed bytes"};
    const std::string claim = "INSERT INTO claims VALUES('" + image.address + "', 'ff-other', ";
    const std::string old = std::to_string(time(nullptr) - IMAGE_CLAIM_LIFETIME_SECONDS - 1);
    enum SetUp { SQL_ONLY, OWN_CLAIM, OTHER_CLAIM, OTHER_ROW, OTHER_ROW_CUT };
    struct Case {
        const char* name;
        SetUp setUp;
        std::string sql;
        int expected;
    } const cases[] = {
        {"no claim", SQL_ONLY, "", IMAGE_CLAIM_TAKEN},
        {"own claim", OWN_CLAIM, "", IMAGE_CLAIM_TAKEN},
        {"a running other value's", OTHER_CLAIM, "", IMAGE_CLAIM_HELD_ELSEWHERE},
        {"a dead process's", SQL_ONLY, claim + std::to_string(DeadProcessId()) + ", strftime('%s'))",
         IMAGE_CLAIM_TAKEN},
        {"too old", SQL_ONLY, claim + std::to_string(CurrentProcessId()) + ", " + old + ")", IMAGE_CLAIM_TAKEN},
        {"a committed row", OTHER_ROW, "", IMAGE_CLAIM_PRESENT},
        {"a row whose file changed size", OTHER_ROW_CUT, "", IMAGE_CLAIM_TAKEN},
        {"a version 1 library", SQL_ONLY, "DROP TABLE claims; PRAGMA user_version=1", IMAGE_CLAIM_TAKEN},
    };
    auto claims = [](const TempDir& dest) {
        int rows = -1;
        EXPECT_EQ(IntegrityOf(DatabaseOf(dest), &rows, "claims"), "ok");
        return rows;
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dest;
        ImageLibrary* other = Open(dest);
        ASSERT_EQ(ExecuteOn(DatabaseOf(dest), test.sql), SQLITE_OK);
        ImageLibrary* library = Open(dest);
        ASSERT_TRUE(other != nullptr && library != nullptr);
        const char* address = image.address.c_str();
        if (test.setUp == OWN_CLAIM || test.setUp == OTHER_CLAIM) {
            ASSERT_EQ(ClaimImage(test.setUp == OWN_CLAIM ? library : other, address), IMAGE_CLAIM_TAKEN);
        }
        if (test.setUp == OTHER_ROW || test.setUp == OTHER_ROW_CUT) {
            Store(dest, other, image);
            ASSERT_EQ(CommitImageLibrary(other), 1);
        }
        if (test.setUp == OTHER_ROW_CUT) {
            ASSERT_TRUE(WriteWholeFile(dest.File(image.diskName), "cut"));
        }
        EXPECT_EQ(ClaimImage(library, address), test.expected) << ImageLibraryError(library);
        if (test.expected == IMAGE_CLAIM_TAKEN) {
            EXPECT_EQ(LookUp(other, image.address), IMAGE_ABSENT);  // a stale row went
            EXPECT_EQ(ClaimImage(other, address), IMAGE_CLAIM_HELD_ELSEWHERE);
            ASSERT_EQ(ReleaseClaim(library, address), 1);
            EXPECT_EQ(ClaimImage(other, address), IMAGE_CLAIM_TAKEN);
            ASSERT_EQ(ReleaseClaim(other, address), 1);
            // The commit of its row ends the claim.
            ASSERT_EQ(ClaimImage(library, address), IMAGE_CLAIM_TAKEN);
            Store(dest, library, image);
            ASSERT_EQ(CommitImageLibrary(library), 1);
            EXPECT_EQ(claims(dest), 0);
            EXPECT_EQ(ClaimImage(other, address), IMAGE_CLAIM_PRESENT);
        }
        ASSERT_EQ(ClaimImage(library, "http://img.example/left"), IMAGE_CLAIM_TAKEN);
        CloseImageLibrary(library);
        EXPECT_EQ(ClaimImage(other, "http://img.example/left"), IMAGE_CLAIM_TAKEN);
        CloseImageLibrary(other);
        EXPECT_EQ(claims(dest), 0);
    }
}

// Two processes relocate the same 200 addresses, each in its own order,
// downloading what they claim and waiting for the rest, as two runs into one
// DEST do: each address is downloaded once, both name that file, and
// neither waits for ever for the other.
TEST(ImageLibraryTest, TwoProcessesDownloadEachAddressOnce) {
    const int ADDRESSES = 200;
    const int BATCH = 10;
    TempDir dest;
    auto address = [](int i) { return "http://img.example/" + std::to_string(i); };
    auto bytes = [](int i) { return "bytes of " + std::to_string(i); };
    // One side; the file it names for each address goes to answers-SIDE.
    auto work = [&](int side) {
        ImageLibrary* library = OpenImageLibrary(dest.path().c_str(), nullptr, 0);
        if (library == nullptr) return 1;
        std::vector<int> order(ADDRESSES);
        for (int i = 0; i < ADDRESSES; i++) order[i] = i;
        std::shuffle(order.begin(), order.end(), std::mt19937(side + 1));
        auto commit = [](void* context) { CommitImageLibrary(static_cast<ImageLibrary*>(context)); };
        std::vector<std::string> files(ADDRESSES);
        int failures = 0;
        int downloads = 0;
        for (int i : order) {
            ImageEntry entry;
            for (int attempt = 0; attempt < 10 && files[i].empty(); attempt++) {
                int claim = ClaimImage(library, address(i).c_str());
                if (claim == IMAGE_CLAIM_TAKEN) {
                    std::string file = dest.File("s" + std::to_string(side) + "-" + std::to_string(i));
                    SleepMilliseconds(1);  // the download
                    failures += WriteWholeFile(file, bytes(i)) ? 0 : 1;
                    failures += RecordImage(library, address(i).c_str(), file.c_str(), bytes(i).size(),
                                            HexOf(bytes(i)).c_str()) == 1
                                    ? 0
                                    : 1;
                    if (++downloads % BATCH == 0) failures += CommitImageLibrary(library) == 1 ? 0 : 1;
                    files[i] = file;
                } else if ((claim == IMAGE_CLAIM_PRESENT &&
                            LookUpImage(library, address(i).c_str(), &entry, CHECK_SIZE_AND_HASH) == IMAGE_PRESENT) ||
                           (claim == IMAGE_CLAIM_HELD_ELSEWHERE &&
                            AwaitClaimedImage(library, address(i).c_str(), nullptr, commit, library, &entry) ==
                                IMAGE_PRESENT)) {
                    files[i] = entry.file;
                }
                failures += claim == IMAGE_CLAIM_ERROR ? 1 : 0;
            }
        }
        failures += CommitImageLibrary(library) == 1 ? 0 : 1;
        CloseImageLibrary(library);
        std::string answers;
        for (const std::string& file : files) answers += file + "\n";
        return WriteWholeFile(dest.File("answers-" + std::to_string(side)), answers) ? failures : failures + 1;
    };
    pid_t children[2];
    for (int side = 0; side < 2; side++) {
        children[side] = fork();
        ASSERT_NE(children[side], -1);
        if (children[side] == 0) {
            alarm(60);  // a side that waits for ever ends by SIGALRM
            _exit(work(side) == 0 ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a side ended by signal or failed: " << status;
    }
    ImageLibrary* library = Open(dest);
    ASSERT_NE(library, nullptr);
    std::string expected;
    for (int i = 0; i < ADDRESSES; i++) {
        bool first = PathExists(dest.File("s0-" + std::to_string(i)));
        EXPECT_NE(first, PathExists(dest.File("s1-" + std::to_string(i)))) << i;
        const std::string file = dest.File((first ? "s0-" : "s1-") + std::to_string(i));
        expected += file + "\n";
        ImageEntry entry;
        ASSERT_EQ(LookUpImage(library, address(i).c_str(), &entry, CHECK_SIZE_AND_HASH), IMAGE_PRESENT);
        EXPECT_EQ(std::string(entry.file), file);
    }
    CloseImageLibrary(library);
    EXPECT_EQ(ReadWholeFile(dest.File("answers-0")), expected);
    EXPECT_EQ(ReadWholeFile(dest.File("answers-1")), expected);
    int claims = -1;
    EXPECT_EQ(IntegrityOf(DatabaseOf(dest), &claims, "claims"), "ok");
    EXPECT_EQ(claims, 0);
}
#endif

}  // namespace
