// The command line end to end: the real `karvelo` binary against a loopback
// image server, checked by its files, package, backups and exit codes.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/console.h"
#include "cli/text_wrap.h"
#include "package/item_record.h"
#include "package/reader.h"
#include "demo/loopback_server.h"
#include "platform/fs.h"
#include "base/memory.h"
#include "support/failing_allocator.h"
#include "support/gbk.h"
#include "support/package_generator.h"
#include "support/process.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "util/files.h"

namespace {

const std::string PNG = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(500, 'p');
const int STOP_BOUND_MILLISECONDS = 30000;

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        // English, whatever the machine's locale: the texts checked below are.
        setenv("LANG", "C.UTF-8", 1);
        for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANGUAGE"}) unsetenv(variable);
        ASSERT_TRUE(server.Start());
        std::filesystem::create_directory(Destination());
    }

    std::string Destination() const { return dir.File("pics"); }
    // A package name of this test alone: backups of all tests share the
    // folder beside the binary.
    std::string PackagePath() const {
        return dir.File(std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".csv");
    }

    std::string Url(const std::string& name) { return server.Url("/img/" + name); }
    void Serve(const std::string& name, const std::string& body) {
        std::lock_guard<std::mutex> lock(mutex);
        routes["/img/" + name] = LoopbackResponse{200, body, "image/png", ""};
    }
    size_t FileCount() const {
        size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(Destination())) count += entry.is_regular_file();
        return count;
    }

    TempDir dir;
    std::mutex mutex;
    std::map<std::string, LoopbackResponse> routes;
    std::map<std::string, int> requests;  // per path, every request the server took
    int delayMilliseconds = 0;
    // A process the server kills outright (SIGKILL) as it takes request
    // number `killAtRequest` after `victim` was set.
    std::atomic<pid_t> victim{0};
    std::atomic<int> killAtRequest{0}, victimRequests{0};
    // Called as each request arrives, while no run is going set or cleared.
    std::function<void()> onRequest;
    LoopbackImageServer server{[this](const std::string& path) {
        if (onRequest) onRequest();
        if (victim > 0 && ++victimRequests == killAtRequest) kill(victim, SIGKILL);
        if (delayMilliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMilliseconds));
        std::lock_guard<std::mutex> lock(mutex);
        ++requests[path];
        auto found = routes.find(path);
        return found == routes.end() ? LoopbackResponse{} : found->second;
    }};
};

// The package text with every local path under `folder` put back to the
// address whose bytes its file (read under `filesFolder`) holds, marked
// "[address]" when `mark`; the addresses go into `relocated`.  A path whose
// file is missing or holds bytes no address was served fails the test.
std::string RestoreAddresses(std::string text, const std::string& folder, const std::string& filesFolder,
                             const std::map<std::string, std::string>& bodies, bool mark,
                             std::set<std::string>* relocated) {
    const std::string prefix = folder + "/";
    for (size_t at; (at = text.find(prefix)) != std::string::npos;) {
        size_t end = text.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyz-.", at + prefix.size());
        std::string name = text.substr(at + prefix.size(), end - at - prefix.size());
        std::string bytes = ReadWholeFile(filesFolder + "/" + name);
        auto found =
            std::find_if(bodies.begin(), bodies.end(), [&](const auto& entry) { return entry.second == bytes; });
        if (bytes.empty() || found == bodies.end()) {
            ADD_FAILURE() << "the package names " << name << ", which holds no image served";
            return std::string();
        }
        relocated->insert(found->first);
        text.replace(at, end - at, mark ? "[" + found->first + "]" : found->first);
    }
    return text;
}

// What must hold of a package on disk at any moment: the listing tool can
// read it, each local path names a file holding the bytes of the address
// it replaced, and no relocated address is still remote anywhere.  Returns
// the relocated addresses.
std::set<std::string> CheckWholePackage(const std::string& package, const PackageLayout& layout,
                                        const std::string& folder, const std::string& filesFolder,
                                        const std::map<std::string, std::string>& bodies) {
    ItemList* items = NewItemList();
    char* read = nullptr;
    EXPECT_EQ(PACKAGE_READ_OK, ReadPackage(package.c_str(), items, &read));
    ClearItemRecords(items);
    FreeItemList(items);
    std::free(read);
    std::set<std::string> relocated;
    std::string text = DecodePackageFile(package);
    EXPECT_EQ(Utf8(BuildPackageText(layout)),
              Utf8(RestoreAddresses(text, folder, filesFolder, bodies, false, &relocated)));
    for (const std::string& url : relocated) EXPECT_EQ(std::string::npos, text.find(url)) << url;
    return relocated;
}

void RemoveBackups(const std::string& package) {
    std::string stem = std::filesystem::path(package).stem().string();
    for (int n = 1; n <= 40; ++n)
        std::filesystem::remove(BuildFolder() + "/bak/" + stem + "(" + std::to_string(n) + ").csv");
}

// What DEST's image library holds, checked against DEST: the database
// passes its integrity check, every row names a file that is there with the
// row's size and SHA-256, and no claim outlived its process (unless one was
// killed).  Returns the rows, address -> file.
std::map<std::string, std::string> CheckLibrary(const std::string& destination, bool killed = false) {
    std::map<std::string, std::string> rows;
    sqlite3* db = nullptr;
    const std::string path = destination + "/.karvelo/library.sqlite3";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "no library at " << path;
        sqlite3_close(db);
        return rows;
    }
    auto each = [&](const char* sql, const std::function<void(sqlite3_stmt*)>& row) {
        sqlite3_stmt* statement = nullptr;
        EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, sql, -1, &statement, nullptr)) << sql;
        while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) row(statement);
        sqlite3_finalize(statement);
    };
    auto text = [](sqlite3_stmt* statement, int column) {
        return std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, column)));
    };
    each("PRAGMA integrity_check", [&](sqlite3_stmt* row) { EXPECT_EQ("ok", text(row, 0)); });
    if (!killed)
        each("SELECT count(*) FROM claims", [&](sqlite3_stmt* row) { EXPECT_EQ(0, sqlite3_column_int(row, 0)); });
    each("SELECT address, file, size, sha256 FROM images", [&](sqlite3_stmt* row) {
        const std::string file = text(row, 1);
        char sha256[SHA256_HEX_SIZE];
        long long size = -1;
        EXPECT_EQ(1, HashFileSha256(file.c_str(), sha256, &size)) << file;
        EXPECT_EQ(sqlite3_column_int64(row, 2), size) << file;
        EXPECT_EQ(text(row, 3), sha256) << file;
        rows[text(row, 0)] = file;
    });
    sqlite3_close(db);
    return rows;
}

// The command that runs what follows it in a mount namespace of its own
// (as root inside it), or none when this machine does not allow one.
std::vector<std::string> MountNamespace() {
    std::vector<std::string> unshare = {"/usr/bin/unshare", "--mount"};
    if (geteuid() != 0) unshare.push_back("--map-root-user");
    std::vector<std::string> probe = unshare;
    probe.push_back("/bin/true");
    return RunProcess(probe).exitCode == 0 ? unshare : std::vector<std::string>();
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// `arguments` for this build's karvelo under `environment` ("NAME=value"
// each), with the locale's variables unset first.
ProcessResult RunKarveloUnder(const std::vector<std::string>& environment, const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {"/usr/bin/env"};
    for (const char* variable : {"LANG", "LC_ALL", "LC_MESSAGES", "LANGUAGE"})
        command.insert(command.end(), {"-u", variable});
    command.insert(command.end(), environment.begin(), environment.end());
    const std::vector<std::string> karvelo = KarveloCommand(arguments);
    command.insert(command.end(), karvelo.begin(), karvelo.end());
    return RunProcess(command);
}

PackageLayout TwoItems(const std::string& a, const std::string& b, const std::string& c) {
    PackageLayout layout;
    layout.items.push_back(
        MakeItem(Gbk("棉麻衬衫"), "<p><img src=\"" + a + "\"></p><img src=\"" + b + "\">", "<img>" + c + "</img>"));
    layout.items.push_back(MakeItem(Gbk("帆布包"), "<div style=\"background:url(" + b + ")\"></div>", ""));
    return layout;
}

}  // namespace

TEST_F(CliTest, RelocatesAPackageEndToEnd) {
    Serve("a.png", PNG);
    Serve("b.png", PNG);
    Serve("c.png", PNG);
    PackageLayout layout = TwoItems(Url("a.png"), Url("b.png"), Url("c.png"));
    ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
    const std::string original = ReadWholeFile(PackagePath());

    // Its images are one body under three addresses, which the image
    // library would keep once: this run is the one without it.
    ProcessResult result = RunKarvelo({"relocate", "--no-library", PackagePath(), Destination(), "--jobs=32"});
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_NE(std::string::npos,
              result.out.find("Image relocation finished; the package (" +
                              std::filesystem::path(PackagePath()).filename().string() + ") is updated."));
    EXPECT_EQ(3u, FileCount());

    // The rewritten package is the original with each URL replaced by its file.
    std::string text = DecodePackageFile(PackagePath());
    std::string expected = BuildPackageText(layout);
    for (const auto& entry : std::filesystem::directory_iterator(Destination())) {
        std::string name = entry.path().filename().string();
        std::string url = name.rfind("m-", 0) == 0 ? Url("c.png") : std::string();
        if (url.empty()) {
            // Desktop files are numbered in the order the description lists them.
            url = name.substr(name.rfind('-') + 1) == "1.png" ? Url("a.png") : Url("b.png");
        }
        size_t at;
        while ((at = expected.find(url)) != std::string::npos) expected.replace(at, url.size(), entry.path().string());
    }
    EXPECT_EQ(Utf8(expected), Utf8(text));

    // The backup beside the binary holds the package as it was.
    std::string backup = BuildFolder() + "/bak/" + std::filesystem::path(PackagePath()).stem().string() + "(1).csv";
    EXPECT_EQ(original, ReadWholeFile(backup));
    std::filesystem::remove(backup);
}

// POSIX paths are not held to Windows' 260 bytes: a package and a
// destination deep in folders, each longer than that, relocate as any other.
TEST_F(CliTest, PathsLongerThanWindowsAllowsRelocate) {
    Serve("a.png", PNG);
    Serve("b.png", PNG);
    Serve("c.png", PNG);
    const std::string folder = dir.DeepFolder(600, 'k');
    const std::string package = folder + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".csv";
    const std::string destination = dir.DeepFolder(900, 'i');
    ASSERT_TRUE(WritePackageFile(package, TwoItems(Url("a.png"), Url("b.png"), Url("c.png"))));

    ProcessResult result = RunKarvelo({"relocate", package, destination});
    EXPECT_EQ(0, result.exitCode) << result.err;
    std::string text = DecodePackageFile(package);
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(destination)) {
        if (entry.is_directory()) continue;  // the image library's folder
        ++files;
        EXPECT_EQ("p", ReadWholeFile(entry.path().string()).substr(PNG.size() - 1));
        EXPECT_NE(std::string::npos, text.find(entry.path().string())) << entry.path();
    }
    EXPECT_EQ(3u, files);
    for (const char* name : {"a.png", "b.png", "c.png"}) EXPECT_EQ(std::string::npos, text.find(Url(name))) << name;
    std::filesystem::remove(BuildFolder() + "/bak/" + std::filesystem::path(package).stem().string() + "(1).csv");
}

TEST_F(CliTest, FailedImagesGiveExitThreeAndAreListed) {
    Serve("a.png", PNG);
    PackageLayout layout = TwoItems(Url("a.png"), Url("gone.png"), Url("a.png"));
    layout.items[1].title = "\x1b[2J" + layout.items[1].title + "\x7f";  // an escape in a title is shown, never sent
    ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
    ProcessResult result = RunKarvelo({"relocate", PackagePath(), Destination()});
    EXPECT_EQ(3, result.exitCode) << result.err;
    EXPECT_NE(std::string::npos, result.err.find("Image relocation finished"));
    EXPECT_NE(std::string::npos, result.err.find("Some images failed: their addresses are listed under their items"));
    EXPECT_NE(std::string::npos, result.err.find("if they stay unreachable, add --blank-failed"));
    for (const char* wizard : {"打上钩", "客服"}) {
        EXPECT_EQ(std::string::npos, result.err.find(wizard)) << result.err;
    }
    // Each item with failures, then its failed addresses.
    EXPECT_NE(std::string::npos, result.out.find("棉麻衬衫\n    " + Url("gone.png") + ": "));
    EXPECT_NE(std::string::npos, result.out.find("\\x1b[2J帆布包\\x7f\n    " + Url("gone.png") + ": "));
    EXPECT_EQ(std::string::npos, (result.out + result.err).find_first_of("\x1b\x7f"));

    // A reader that goes away at once (`| head -c 1`) stops neither the run
    // nor its write-back, and the exit code stays the run's.
    for (int i = 0; i < 8; ++i)
        layout.items.push_back(MakeItem(Gbk("宝贝") + std::to_string(i), "<img src=\"" + Url("gone.png") + "\">"));
    ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
    std::string karvelo;
    for (const std::string& part : KarveloCommand({"relocate", PackagePath(), Destination(), "--jobs", "1"}))
        karvelo += Quoted(part) + " ";
    const std::string code = dir.File("code");
    ProcessResult piped =
        RunProcess({"/bin/sh", "-c", "(" + karvelo + "2>&1; echo $? > " + Quoted(code) + ") | head -c 1"});
    EXPECT_EQ("3\n", ReadWholeFile(code)) << piped.out;
    EXPECT_EQ(std::string::npos, DecodePackageFile(PackagePath()).find(Url("a.png")));  // written back
}

// --json: stdout is one document a script reads (Python's json module here),
// naming each relocated file and each failure with the reason app.log has;
// the plain failure list gives the same reasons, and on Linux the log is
// UTF-8 with the date on each line and no CR.
TEST_F(CliTest, JsonReportAndReasonsMatchFilesAndLog) {
    const std::map<std::string, std::string> bodies = {{Url("a.png"), PNG + "a"}, {Url("b.png"), PNG + "b"}};
    for (const auto& [url, body] : bodies) Serve(url.substr(url.rfind('/') + 1), body);
    RefusingLoopbackPort refusing;
    const std::string refused = "http://127.0.0.1:" + std::to_string(refusing.port()) + "/r.png";
    const std::string gone = Url("gone.png");
    const std::string title = "帆布包 \"q\" \\ \x01";            // quotes, a backslash, a control character
    const std::string storedTitle = "帆布包 \"\"q\"\" \\ \x01";  // the title as the package's field has it
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("棉麻衬衫"), "<img src=\"" + Url("a.png") + "\"><img src=\"" + gone + "\">",
                                    "<img>" + refused + "</img>"));
    layout.items.push_back(
        MakeItem(Gbk(title),
                 "<img src=\"" + Url("b.png") + "\"><img src=\"" + Url("a.png") + "\"><img src=\"" + gone + "\">", ""));
    ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
    const std::string logPath = BuildFolder() + "/app.log";
    // The reason app.log gives for `url` last, in UTF-8: the rest of its
    // entry's line.
    auto loggedReason = [&](const std::string& url) {
        const std::string log = ReadAppLog(logPath);
        const std::string head = Gbk("搬家失败：") + url + Gbk("，返回的错误信息：") + LOGGED_BREAK;
        size_t at = log.rfind(head);
        if (at == std::string::npos) return std::string("(not logged)");
        at += head.size();
        return Utf8(log.substr(at, log.find("\r\n", at) - at));
    };

    const std::string json = dir.File("report.json");
    ProcessResult result = RunProcess(KarveloCommand({"relocate", "--json", PackagePath(), Destination()}), json);
    EXPECT_EQ(3, result.exitCode) << result.err;
    EXPECT_NE(std::string::npos, result.err.find("add --blank-failed"));  // the texts went to stderr
    const std::string script =
        "import json, sys\n"
        "d = json.load(open(sys.argv[1], encoding='utf-8'))\n"  // one document and nothing else
        "rows = []\n"
        "for item in d['items']:\n"
        "    rows.append(['item', item['title']])\n"
        "    rows += [['relocated', r['url'], r['file']] for r in item['relocated']]\n"
        "    rows += [['failed', f['url'], f['reason']] for f in item['failed']]\n"
        "t = d['totals']\n"
        "rows.append(['totals', str(t['items']), str(t['relocated']), str(t['failed'])])\n"
        "rows.append([str(d[k]) for k in ('backup', 'written', 'kept_beside', 'exit_code')])\n"
        "sys.stdout.write('\\n'.join('|'.join(r) for r in rows))\n";
    ProcessResult parsed = RunProcess({"/usr/bin/python3", "-c", script, json});
    ASSERT_EQ(0, parsed.exitCode) << parsed.err << ReadWholeFile(json);

    // Each relocated file holds the served bytes; its path stands in for FILE.
    std::string rows = parsed.out;
    for (const auto& [url, body] : bodies) {
        const size_t at = rows.find("relocated|" + url + "|");
        ASSERT_NE(std::string::npos, at) << rows;
        const size_t start = at + url.size() + 11;
        const std::string file = rows.substr(start, rows.find('\n', start) - start);
        EXPECT_EQ(Destination(), std::filesystem::path(file).parent_path().string());
        EXPECT_EQ(body, ReadWholeFile(file));
        for (size_t found; (found = rows.find(file)) != std::string::npos;) rows.replace(found, file.size(), "FILE");
    }
    const std::string backup = std::filesystem::canonical(BuildFolder()).string() + "/bak/" +
                               std::filesystem::path(PackagePath()).stem().string() + "(1).csv";
    const std::string expected = "item|棉麻衬衫\nrelocated|" + Url("a.png") + "|FILE\nfailed|" + gone + "|" +
                                 loggedReason(gone) + "\nfailed|" + refused + "|" + loggedReason(refused) + "\nitem|" +
                                 storedTitle + "\nrelocated|" + Url("b.png") + "|FILE\nrelocated|" + Url("a.png") +
                                 "|FILE\nfailed|" + gone + "|" + loggedReason(gone) + "\ntotals|2|2|2\n" + backup +
                                 "|True|None|3";
    EXPECT_EQ(expected, rows);
    EXPECT_EQ(std::string::npos, DecodePackageFile(PackagePath()).find(Url("b.png")));  // written back

    // Plain: the same failures, each address with the sentence the document
    // gives it.
    ProcessResult sentences = RunProcess(
        {"/usr/bin/python3", "-c",
         "import json, sys\nd = json.load(open(sys.argv[1], encoding='utf-8'))\n"
         "sys.stdout.write(''.join('    %s: %s\\n' % (f['url'], f['sentence']) for f in d['items'][0]['failed']))",
         json});
    ASSERT_EQ(0, sentences.exitCode) << sentences.err;
    const size_t logStart = ReadWholeFile(logPath).size();
    ProcessResult plain = RunKarvelo({"relocate", PackagePath(), Destination()});
    EXPECT_EQ(3, plain.exitCode) << plain.err;
    EXPECT_NE(std::string::npos, plain.out.find("棉麻衬衫\n" + sentences.out)) << plain.out << sentences.out;
    const std::string log = ReadWholeFile(logPath).substr(logStart);
    EXPECT_EQ(std::string::npos, log.find('\r'));
    EXPECT_NE(std::string::npos, log.find("搬家失败：" + gone + "，返回的错误信息： " + loggedReason(gone) + "\n"));
    // One entry a line, each line with its date: a message's breaks are spaces.
    const std::regex dated("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} [^\n]*\n");
    for (size_t at = 0, end; at < log.size(); at = end + 1) {
        end = log.find('\n', at);
        ASSERT_NE(std::string::npos, end) << log;
        EXPECT_TRUE(std::regex_match(log.substr(at, end - at + 1), dated)) << log.substr(at, end - at + 1);
    }
    RemoveBackups(PackagePath());
}

// The --json documents a script relies on, end to end: a package with a
// 商家编码 column and repeated titles relocated with --blank-failed into a
// destination that does not exist yet (made with its parents), once under
// an English and once under a Chinese locale, then inspected.  The
// documents must agree with the run's files, with each other (keys and
// codes alike, sentences in each language) and with what inspect --json
// says of the rewritten package.
TEST_F(CliTest, JsonDocumentsAgreeWithTheRunAndWithInspect) {
    const std::map<std::string, std::string> bodies = {{Url("a.png"), PNG + "a"}, {Url("b.png"), PNG + "b"}};
    for (const auto& [url, body] : bodies) Serve(url.substr(url.rfind('/') + 1), body);
    RefusingLoopbackPort refusing;
    const std::string refused = "http://127.0.0.1:" + std::to_string(refusing.port()) + "/r.png";
    const std::string gone = Url("gone.png");
    PackageLayout layout;
    layout.items.push_back(MakeItem(Gbk("衬衫"), "<img src=\"" + Url("a.png") + "\"><img src=\"" + gone + "\">",
                                    "<img>" + refused + "</img>"));
    layout.items.push_back(
        MakeItem(Gbk("衬衫"), "<img src=\"" + Url("b.png") + "\">", "<img>" + Url("a.png") + "</img>"));
    layout.items.push_back(MakeItem(Gbk("帆布包"), "<div style=\"background:url(" + gone + ")\"></div>", ""));
    layout.items.push_back(MakeItem(Gbk("衬衫"), "<p>no images</p>", ""));
    const std::string packages[2] = {PackagePath(), dir.File("zh.csv")};
    const std::string destinations[2] = {dir.File("made/en/pics"), dir.File("made/zh/pics")};
    const std::string locales[2] = {"LC_ALL=C", "LC_ALL=zh_CN.UTF-8"};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(WritePackageFile(packages[i], layout));
        std::vector<std::string> command = {"/usr/bin/env", "-u", "LANGUAGE", locales[i]};
        for (const std::string& part :
             KarveloCommand({"relocate", "--json", "--blank-failed", packages[i], destinations[i]}))
            command.push_back(part);
        ProcessResult run = RunProcess(command, dir.File(std::to_string(i) + ".json"));
        EXPECT_EQ(3, run.exitCode) << run.err;
        ASSERT_TRUE(WriteWholeFile(dir.File(std::to_string(i) + ".err"), run.err));
        const std::string made = i == 0 ? "karvelo: made the destination " : "karvelo: 已创建目标文件夹 ";
        EXPECT_NE(std::string::npos, run.err.find(made + destinations[i] + "\n")) << run.err;
    }
    ProcessResult inspect = RunProcess(KarveloCommand({"inspect", "--json", PackagePath()}), dir.File("inspect.json"));
    EXPECT_EQ(0, inspect.exitCode) << inspect.err;
    EXPECT_NE(std::string::npos,
              inspect.err.find("3 image addresses are local paths, 2 blank (the blank image in place of a failed one)"))
        << inspect.err;

    // Python's json module reads the documents; the script says what it
    // found, and where the documents disagree.
    const std::string script = R"(
import json, os, sys
en, zh, ins = (json.load(open(p, encoding='utf-8')) for p in sys.argv[1:4])
allowed = json.loads(sys.argv[4])
out = []
def shape(v):
    if isinstance(v, dict): return {k: shape(x) for k, x in v.items()}
    if isinstance(v, list): return [shape(x) for x in v]
    return type(v).__name__
out.append('top|%s|%s|%s|%s|%s|%s|%s' % (en['schema'], en['command'], en['package'], en['destination'],
           en['log'], en['written'], en['exit_code']))
for item in en['items']:
    out.append('item|%s|%s|%s' % (item['row'], item['outer_id'], item['title']))
    for r in item['relocated']:
        out.append('relocated|%s|%s|%s' % (r['url'], os.path.dirname(r['file']), open(r['file'], 'rb').read()[-1:].decode()))
    for f in item['failed']:
        out.append('failed|%s|%s' % (f['url'], 'known code' if f['code'] in allowed[f['url']] else f['code']))
c = en['counts']
out.append('counts|' + '|'.join(str(c[k]) for k in ('items', 'images', 'relocated', 'already_local', 'failed',
           'failed_items', 'blanked', 'left', 'vanished', 'bytes', 'stopped')))
out.append('totals|%(items)s|%(relocated)s|%(failed)s' % en['totals'])
failures = [(f, g) for a, b in zip(en['items'], zh['items']) for f, g in zip(a['failed'], b['failed'])]
out.append('locales|%s|%s|%s' % (shape(en) == shape(zh), all(f['code'] == g['code'] for f, g in failures),
           all(f['sentence'] != g['sentence'] and f['sentence'].isascii() and not g['sentence'].isascii()
               for f, g in failures)))
for path, doc in ((sys.argv[5], en), (sys.argv[6], zh)):
    listed = open(path, encoding='utf-8').read()
    out.append('failure list|%s' % all('    %s: %s\n' % (f['url'], f['sentence']) in listed
                                       for item in doc['items'] for f in item['failed']))
out.append('inspect|%s|%s|%s' % (ins['schema'], ins['command'], ins['package']))
for item, run in zip(ins['items'], en['items']):
    d, m = item['description'], item['mobile']
    out.append('inspect item|%s|%s|%s|%s|%s' % (
        [item[k] for k in ('row', 'outer_id', 'title')] == [run[k] for k in ('row', 'outer_id', 'title')],
        d['image_space'] + d['outside_albums'] + m['image_space'] + m['outside_albums'],
        d['local'] + m['local'] == len(run['relocated']), d['blank'] + m['blank'], len(run['failed'])))
out.append('inspect counts|' + '|'.join(str(ins['counts'][k]) for k in ('items', 'remote', 'local', 'blank')))
sys.stdout.write('\n'.join(out) + '\n')
)";
    const std::string allowed =
        "{\"" + gone + "\": [\"http_status\", \"other\"], \"" + refused + "\": [\"connection_refused\", \"other\"]}";
    ProcessResult parsed = RunProcess({"/usr/bin/python3", "-c", script, dir.File("0.json"), dir.File("1.json"),
                                       dir.File("inspect.json"), allowed, dir.File("0.err"), dir.File("1.err")});
    ASSERT_EQ(0, parsed.exitCode) << parsed.err << ReadWholeFile(dir.File("0.json"));
    const std::string pics = destinations[0];
    const std::string log = std::filesystem::canonical(BuildFolder()).string() + "/app.log";
    const std::string bytes = std::to_string(PNG.size() * 2 + 2);
    const std::string expected =
        "top|1|relocate|" + PackagePath() + "|" + pics + "|" + log + "|True|3\n" + "item|1|K1000|衬衫\nrelocated|" +
        Url("a.png") + "|" + pics + "|a\nfailed|" + gone + "|known code\nfailed|" + refused + "|known code\n" +
        "item|2|K1001|衬衫\nrelocated|" + Url("b.png") + "|" + pics + "|b\nrelocated|" + Url("a.png") + "|" + pics +
        "|a\n" + "item|3|K1002|帆布包\nfailed|" + gone + "|known code\n" + "item|4|K1003|衬衫\n" +
        "counts|4|4|2|0|2|2|2|0|0|" + bytes + "|False\n" +
        "totals|4|2|2\nlocales|True|True|True\nfailure list|True\nfailure list|True\n" + "inspect|1|inspect|" +
        PackagePath() + "\n" +
        // A failed mobile image's element goes: only the description shows the blank image.
        "inspect item|True|0|True|1|2\ninspect item|True|0|True|0|0\ninspect item|True|0|True|1|1\n"
        "inspect item|True|0|True|0|0\ninspect counts|4|0|3|2\n";
    EXPECT_EQ(expected, parsed.out);

    // A destination that cannot be made is refused with the system's reason.
    ASSERT_TRUE(WriteWholeFile(dir.File("plain"), "a file"));
    ProcessResult refusedRun = RunProcess({"/usr/bin/env", "-u", "LANGUAGE", "LC_ALL=C", KarveloCommand({})[0],
                                           "relocate", PackagePath(), dir.File("plain/pics")});
    EXPECT_EQ(1, refusedRun.exitCode);
    EXPECT_NE(std::string::npos, refusedRun.err.find("karvelo relocate: the destination " + dir.File("plain/pics") +
                                                     " cannot be made: Not a directory\n"))
        << refusedRun.err;
    // A package that is refused anyway makes no folder.
    EXPECT_EQ(1, RunKarvelo({"relocate", dir.File("typo.csv"), dir.File("never/made")}).exitCode);
    EXPECT_FALSE(PathExists(dir.File("never")));
    RemoveBackups(packages[0]);
    RemoveBackups(packages[1]);
}

// Started with standard output and error closed (cron, a service manager),
// with -v printing a line per image and --json asked for: nothing printed
// reaches a request, a file or the log, every image is its own address's,
// and the report that had nowhere to go is an error, not a silent success.
// A report to a full disk is one too.
TEST_F(CliTest, ClosedStandardStreamsAndAReportThatCannotBeWritten) {
    const int IMAGES = 16;
    std::map<std::string, std::string> bodies;
    PackageLayout layout;
    for (int i = 0; i < IMAGES; ++i) {
        const std::string name = std::to_string(i) + ".png";
        bodies[Url(name)] = PNG + name;
        Serve(name, bodies[Url(name)]);
        layout.items.push_back(MakeItem(Gbk("宝贝") + name, "<img src=\"" + Url(name) + "\">", ""));
    }
    std::string karvelo;
    for (const std::string& part : KarveloCommand({"relocate", "-v", "--jobs=4", PackagePath(), Destination()})) {
        karvelo += Quoted(part) + " ";
    }
    const std::string logPath = BuildFolder() + "/app.log";
    // clang-format off
    const struct {
        const char* redirection;
        int exitCode;
        const char* said;  // on stderr, where it is open
    } cases[] = {
        {">&- 2>&-", 0, nullptr},
        {"--json >&- 2>&-", 1, nullptr},
        {"--json >&-", 1, "karvelo: the --json report could not be written to standard output: it was closed"},
        {"--json >/dev/full", 1, "karvelo: the --json report could not be written to standard output: No space"},
    };
    // clang-format on
    for (const auto& row : cases) {
        SCOPED_TRACE(row.redirection);
        std::filesystem::remove_all(Destination());
        std::filesystem::create_directory(Destination());
        ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
        const size_t logStart = ReadWholeFile(logPath).size();
        ProcessResult result = RunProcess({"/bin/sh", "-c", "exec " + karvelo + row.redirection});
        EXPECT_EQ(row.exitCode, result.exitCode) << result.err;
        if (row.said != nullptr) {
            EXPECT_NE(std::string::npos, result.err.find(row.said)) << result.err;
        }
        EXPECT_EQ(static_cast<size_t>(IMAGES),
                  CheckWholePackage(PackagePath(), layout, Destination(), Destination(), bodies).size());
        EXPECT_EQ(static_cast<size_t>(IMAGES), FileCount());
        const std::string log = ReadWholeFile(logPath).substr(logStart);
        for (const char* printed : {"\"items\"", "karvelo:", ".png ->", "Image relocation finished"}) {
            EXPECT_EQ(std::string::npos, log.find(printed)) << log;
        }
    }
    RemoveBackups(PackagePath());
}

// Every option and command as a user types them: where help goes, what an
// unknown one says, and the exit codes.
TEST_F(CliTest, OptionsHelpAndExits) {
    Serve("a.png", PNG);
    Serve("b.png", PNG);
    Serve("c.png", PNG);
    ASSERT_TRUE(WritePackageFile(PackagePath(), TwoItems(Url("a.png"), Url("b.png"), Url("c.png"))));
    const std::string original = ReadWholeFile(PackagePath());
    struct Row {
        std::vector<std::string> arguments;
        int exitCode;
        std::string out, err;  // parts each must hold ("" for no check)
        std::string notOut;    // a part stdout must not hold
    };
    // clang-format off
    const std::vector<Row> rows = {
        {{"-h"}, 0, "usage: karvelo relocate [options] PACKAGE... DEST", "", ""},
        {{"relocate", "--help"}, 0, "  -j, --jobs N", "", "karvelo inspect"},
        {{"relocate", PackagePath(), "-h"}, 0, "usage: karvelo relocate", "", ""},
        {{"inspect", "--help"}, 0, "usage: karvelo inspect [options] PACKAGE", "", "--jobs"},
        {{"demo", "-h"}, 0, "usage: karvelo demo [options] [DIR]", "", ""},
        {{"-V"}, 0, "Karvelo 7.3\n", "", ""},
        {{"inspect", "--version"}, 0, "Karvelo 7.3\n", "", ""},
        {{}, 2, "", "usage: karvelo relocate", ""},
        {{"frob"}, 2, "", "karvelo: unknown command frob\nusage:", ""},
        {{"-x"}, 2, "", "karvelo: unknown option -x\nusage:", ""},
        {{"relocate", "--frob", "a", "b"}, 2, "", "karvelo relocate: unknown option --frob\nusage:", ""},
        {{"relocate", "-x", "a", "b"}, 2, "", "karvelo relocate: unknown option -x\nusage:", ""},
        {{"inspect", "--jobs", "2", "a"}, 2, "", "karvelo inspect: unknown option --jobs", ""},
        // A proxy address where it does not belong, or malformed, shows no credentials.
        {{"inspect", "--proxy=http://u:pa/ss@h:1", "a"}, 2, "", "unknown option --proxy=http://h:1\nusage:", ""},
        {{"relocate", "--proxy=http://u:pa/ss@h:99999", "a", "b"}, 2, "", "the proxy address cannot be understood (--proxy): http://h:99999\n", ""},
        {{"relocate", "--jobs=u:pa/ss@8", "a", "b"}, 2, "", "--jobs takes a number from 1 to 32, not '8'", ""},
        {{"relocate", "a"}, 2, "", "PACKAGE and DEST are needed\nusage:", ""},
        {{"relocate", "a", "b", "c"}, 1, "", "karvelo relocate: " + std::filesystem::absolute("b").string() + " does not exist", ""},
        {{"relocate", "a", "b", "-j"}, 2, "", "--jobs takes a value", ""},
        {{"relocate", "-j0", "a", "b"}, 2, "", "--jobs takes a number from 1 to 32, not '0'", ""},
        {{"relocate", "--streams=257", "a", "b"}, 2, "", "--streams takes a number from 1 to 256", ""},
        // "--" ends the options: a name that starts with "-" is a package's.
        {{"inspect", "--", "-gone.csv"}, 1, "", "-gone.csv does not exist", ""},
        {{"inspect", "-gone.csv"}, 2, "", "unknown option -g", ""},
        // The help's topics, and a command's options by its name.
        {{"help"}, 0, "topics:\n  proxy ", "", "usage: karvelo relocate"},
        {{"help", "proxy"}, 0, "no_proxy or NO_PROXY", "", "exit codes:"},
        {{"help", "files"}, 0, "bak/NAME(n).csv", "", ""},
        {{"help", "files"}, 0, "For you, that folder is ", "", ""},
        {{"help", "exit-codes"}, 0, "130 stopped by a signal", "", "bak/"},
        {{"help", "stop"}, 0, "KARVELO_CHECKPOINT_SECONDS", "", ""},
        {{"help", "inspect"}, 0, "usage: karvelo inspect [options] PACKAGE", "", "--jobs"},
        {{"help", "frob"}, 2, "", "karvelo help: unknown topic frob; the topics: proxy, files, exit-codes, stop\n", ""},
        {{"help", "proxy", "stop"}, 2, "", "one topic at a time", ""},
        {{"relocate", "-q", "-j2", "--no-library", PackagePath(), Destination()}, 0, "", "karvelo: relocated 3 images", "[1/2]"},
    };
    // clang-format on
    for (const Row& row : rows) {
        std::string shown;
        for (const std::string& argument : row.arguments) shown += argument + " ";
        ProcessResult result = RunKarvelo(row.arguments);
        EXPECT_EQ(row.exitCode, result.exitCode) << shown << result.err;
        EXPECT_NE(std::string::npos, result.out.find(row.out)) << shown << result.out;
        EXPECT_NE(std::string::npos, result.err.find(row.err)) << shown << result.err;
        EXPECT_EQ(std::string::npos, result.err.find("pa/ss")) << shown << result.err;
        if (!row.notOut.empty()) {
            EXPECT_EQ(std::string::npos, result.out.find(row.notOut)) << shown;
        }
    }
    EXPECT_FALSE(std::filesystem::exists("--help"));  // the demo once took it for its folder

    // Quiet: the summary's first line alone; verbose: a line per image, its file.
    ASSERT_TRUE(WriteWholeFile(PackagePath(), original));
    std::filesystem::remove_all(Destination());
    std::filesystem::create_directories(Destination());
    ProcessResult verbose = RunKarvelo({"relocate", "--verbose", "--no-library", PackagePath(), Destination()});
    EXPECT_EQ(0, verbose.exitCode) << verbose.err;
    for (const char* image : {"a.png", "b.png", "c.png"}) {
        EXPECT_NE(std::string::npos, verbose.err.find(Url(image) + " -> " + Destination() + "/")) << verbose.err;
    }
    ProcessResult quiet = RunKarvelo({"relocate", "-q", PackagePath(), Destination()});
    EXPECT_EQ(0, quiet.exitCode);
    EXPECT_EQ("karvelo: nothing new to relocate: all 4 image addresses are local already\n", quiet.err);
    EXPECT_EQ("", quiet.out);
}

// Refusals name what they refuse and why in the command line's terms (its
// options, not the wizard's boxes), and touch nothing.
TEST_F(CliTest, RefusedInputsAndUsageErrors) {
    EXPECT_EQ(2, RunKarvelo({"relocate", PackagePath()}).exitCode);
    EXPECT_EQ(2, RunKarvelo({"relocate", "a", "b", "--bogus"}).exitCode);
    for (const char* jobs : {"0", "33", "x", "-1", ""}) {
        ProcessResult bad = RunKarvelo({"relocate", "a", "b", "--jobs", jobs});
        EXPECT_EQ(2, bad.exitCode) << jobs;
        EXPECT_NE(std::string::npos, bad.err.find("--jobs takes a number from 1 to 32")) << bad.err;
    }

    // A missing destination would be made: a file stands where it would be.
    const std::string fifo = dir.File("fifo.csv"), missing = dir.File("gone.csv"), noFolder = dir.File("no-such");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    ASSERT_TRUE(WriteWholeFile(noFolder, "a file"));
    const std::string unusable = dir.File("unusable.csv"), longTitle = dir.File("long-title.csv");
    ASSERT_TRUE(WriteWholeFile(unusable, "not a package"));
    PackageLayout longTitleLayout;
    longTitleLayout.items.push_back(MakeItem(std::string(256, 'x'), "<p></p>", ""));
    ASSERT_TRUE(WritePackageFile(longTitle, longTitleLayout));
    // A path in place of an unquoted address ends at its first space.
    const std::string unquoted = dir.File("unquoted.csv"), spaced = dir.File("with space");
    PackageLayout unquotedLayout;
    unquotedLayout.items.push_back(MakeItem("shirt", "<img src=" + Url("a.png") + ">", ""));
    ASSERT_TRUE(WritePackageFile(unquoted, unquotedLayout));
    std::filesystem::create_directory(spaced);
    ASSERT_TRUE(WritePackageFile(PackagePath(), TwoItems(Url("a.png"), Url("b.png"), Url("c.png"))));
    const std::string original = ReadWholeFile(PackagePath());
    // An immutable folder stands for a read-only one, which root may write.
    const std::string locked = dir.File("locked");
    std::filesystem::create_directory(locked);
    const bool lockable = RunProcess({"/usr/bin/chattr", "+i", locked}).exitCode == 0;
    struct Unlock {
        std::string folder;
        ~Unlock() { RunProcess({"/usr/bin/chattr", "-i", folder}); }
    } unlock{locked};

    struct Row {
        std::vector<std::string> arguments;
        int exitCode;
        std::string err;  // a part stderr must hold
    };
    const std::string dest = Destination();
    // clang-format off
    std::vector<Row> rows = {
        {{"relocate", missing, dest}, 1, "karvelo relocate: " + missing + " does not exist\n"},
        // Refused by what it is, without waiting for a writer.
        {{"inspect", fifo}, 1, "karvelo inspect: " + fifo + " is a named pipe, not a package file\n"},
        {{"relocate", fifo, dest}, 1, fifo + " is a named pipe, not a package file"},
        {{"inspect", dest}, 1, "karvelo inspect: " + dest + " is a folder, not a package file\n"},
        {{"relocate", dest, dest}, 1, dest + " is a folder, not a package file"},
        {{"relocate", "-", dest}, 1, "karvelo relocate: - (standard input) cannot be the package"},
        {{"inspect", "-"}, 1, "karvelo inspect: - (standard input) cannot be the package"},
        {{"relocate", unusable, dest}, 1, unusable + " is plain text, not the listing tool's export (UTF-16LE)"},
        {{"relocate", longTitle, dest}, 1, "longer than 255 bytes (127 Chinese characters)"},
        {{"relocate", PackagePath(), noFolder}, 1, "destination " + noFolder + " does not exist or is not a folder"},
        {{"relocate", unquoted, spaced}, 1, "the destination " + spaced + " holds a space, which cannot stand where "
                                            "the item \"shirt\" has its image addresses"},
        {{"relocate", PackagePath(), dest, "--no-image-space", "--no-outside-albums"}, 2,
         "--no-image-space with --no-outside-albums leaves no image to relocate"},
    };
    // clang-format on
    if (lockable) rows.push_back({{"relocate", PackagePath(), locked}, 1, locked + " is not writable"});
    for (const Row& row : rows) {
        std::string shown;
        for (const std::string& argument : row.arguments) shown += argument + " ";
        ProcessResult result = RunKarvelo(row.arguments);
        EXPECT_EQ(row.exitCode, result.exitCode) << shown << result.err;
        EXPECT_NE(std::string::npos, result.err.find(row.err)) << shown << result.err;
        // Nothing of the wizard: its boxes, its web site, "choose again".
        for (const char* wizard : {"请重新选择", "搬来自", "官网", "客服"}) {
            EXPECT_EQ(std::string::npos, result.err.find(wizard)) << shown << result.err;
        }
        EXPECT_EQ(original, ReadWholeFile(PackagePath())) << shown;
    }
    EXPECT_EQ(0u, FileCount());
}

TEST_F(CliTest, DestinationWithAQuoteIsRefusedUntouched) {
    // Each image's path goes into the package's quoted description field,
    // where this quote would end the field early.
    const std::string quoted = dir.File("d\"q");
    ASSERT_TRUE(std::filesystem::create_directory(quoted));
    Serve("a.png", PNG);
    ASSERT_TRUE(WritePackageFile(PackagePath(), TwoItems(Url("a.png"), Url("a.png"), Url("a.png"))));
    const std::string original = ReadWholeFile(PackagePath());
    const std::string backup =
        BuildFolder() + "/bak/" + std::filesystem::path(PackagePath()).stem().string() + "(1).csv";
    std::filesystem::remove(backup);  // the bak folder outlives the tests

    ProcessResult result = RunKarvelo({"relocate", PackagePath(), quoted});
    EXPECT_EQ(1, result.exitCode) << result.err;
    EXPECT_NE(std::string::npos, result.err.find("the destination " + quoted +
                                                 " holds a double quote or a control "
                                                 "character, which cannot be written into the package"))
        << result.err;
    EXPECT_EQ(original, ReadWholeFile(PackagePath()));
    EXPECT_TRUE(std::filesystem::is_empty(quoted));
    EXPECT_FALSE(PathExists(backup));  // refused before the run's backup
    EXPECT_TRUE(server.RequestedPaths().empty());
}

// Ctrl-C, SIGTERM, SIGHUP (the terminal closed) and SIGQUIT all stop the
// run, giving up the images in flight, and write back what was done; a
// second run finishes.
TEST_F(CliTest, StopSignalsWriteBackAndASecondRunFinishes) {
    PackageLayout layout;
    for (int i = 0; i < 8; ++i) {
        std::string name = std::to_string(i) + ".png";
        Serve(name, PNG);
        layout.items.push_back(MakeItem(Gbk("宝贝") + std::to_string(i), "<img src=\"" + Url(name) + "\">", ""));
    }
    for (int stopSignal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(strsignal(stopSignal));
        std::filesystem::remove_all(Destination());
        std::filesystem::create_directory(Destination());
        ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
        delayMilliseconds = 150;

        const std::string output = dir.File("stopped.log");
        // Two at a time: the stop comes while images are in flight and others wait.
        pid_t karvelo = StartProcess(
            KarveloCommand({"relocate", "--no-library", PackagePath(), Destination(), "--jobs", "2"}), output);
        ASSERT_GT(karvelo, 0);
        for (int wait = 0; wait < 200 && FileCount() < 2; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const size_t beforeStop = FileCount();
        // The bound only keeps a run that ignores the signal from hanging the test.
        const int code = StopProcess(karvelo, stopSignal, STOP_BOUND_MILLISECONDS);
        ASSERT_GE(beforeStop, 2u);
        EXPECT_EQ(130, code) << ReadWholeFile(output);
        EXPECT_NE(std::string::npos, ReadWholeFile(output).find("; the package as it was is backed up in "));
        size_t firstRun = FileCount();
        EXPECT_LT(firstRun, 8u);
        std::string text = DecodePackageFile(PackagePath());
        size_t remaining = 0;
        for (int i = 0; i < 8; ++i) remaining += text.find(Url(std::to_string(i) + ".png")) != std::string::npos;
        EXPECT_EQ(8u - firstRun, remaining);  // every finished image is in the package, no partial file

        delayMilliseconds = 0;
        ProcessResult second = RunKarvelo({"relocate", "--no-library", PackagePath(), Destination()});
        EXPECT_EQ(0, second.exitCode) << second.err;
        EXPECT_EQ(8u, FileCount());
        text = DecodePackageFile(PackagePath());
        for (int i = 0; i < 8; ++i) EXPECT_EQ(std::string::npos, text.find(Url(std::to_string(i) + ".png")));
    }
    RemoveBackups(PackagePath());
}

// On a terminal the progress line counts images against the total, fits the
// width without wrapping, and is left out by -q; a stop, quiet or not, says
// what was relocated, what failed and what is left.
TEST_F(CliTest, ProgressLineFitsTheTerminalAndAStopSaysWhatIsLeft) {
    for (int i = 0; i < 8; ++i) Serve(std::to_string(i) + ".png", PNG);
    PackageLayout threeImages = TwoItems(Url("0.png"), Url("gone.png"), Url("1.png"));
    PackageLayout eightItems;
    for (int i = 0; i < 8; ++i) {
        std::string image = "<img src=\"" + Url(std::to_string(i) + ".png") + "\">";
        eightItems.items.push_back(MakeItem(Gbk("宝贝") + std::to_string(i), image, ""));
    }
    struct Case {
        int columns;
        bool quiet, stop;
    } cases[] = {{120, false, false}, {40, false, false}, {40, false, true}, {80, true, true}};
    std::atomic<int> requests{0};
    onRequest = [&] { ++requests; };
    for (const Case& test : cases) {
        SCOPED_TRACE(std::to_string(test.columns) + (test.quiet ? " quiet" : "") + (test.stop ? " stop" : ""));
        std::filesystem::remove_all(Destination());
        std::filesystem::create_directory(Destination());
        ASSERT_TRUE(WritePackageFile(PackagePath(), test.stop ? eightItems : threeImages));
        delayMilliseconds = test.stop ? 150 : 0;
        std::vector<std::string> arguments = {"relocate", "--no-library", PackagePath(), Destination(), "--jobs", "2"};
        if (test.quiet) arguments.push_back("-q");
        int terminal = -1;
        pid_t karvelo = StartProcessOnTerminal(KarveloCommand(arguments), test.columns, &terminal);
        ASSERT_GT(karvelo, 0);
        std::string output;
        std::thread reader([&] {
            char buffer[4096];
            ssize_t got;
            while ((got = read(terminal, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
                if (got > 0) output.append(buffer, static_cast<size_t>(got));
            }
        });
        requests = 0;
        if (test.stop) {
            // The third request comes once a first image is answered: the run is under way.
            for (int wait = 0; wait < 500 && requests < 3; ++wait) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            kill(karvelo, SIGINT);
        }
        int code = -1;
        for (int wait = 0; wait < STOP_BOUND_MILLISECONDS / 20 && !ProcessEnded(karvelo, &code); ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (code == -1) code = StopProcess(karvelo, SIGKILL, 0);  // a hung run fails the test below
        reader.join();
        close(terminal);

        EXPECT_EQ(test.stop ? 130 : 3, code) << output;
        std::string lastProgress;
        size_t progressLines = 0;
        for (size_t at = 0, end; at < output.size(); at = end + 1) {
            end = output.find_first_of("\r\n", at);
            if (end == std::string::npos) end = output.size();
            std::string line = output.substr(at, end - at);
            if (line.rfind("[", 0) != 0 || line.find(" img ") == std::string::npos) continue;
            ++progressLines;
            EXPECT_LT(line.size(), static_cast<size_t>(test.columns)) << line;
            lastProgress = line;
        }
        EXPECT_EQ(test.quiet, progressLines == 0) << output;
        if (!test.stop) {
            EXPECT_NE(std::string::npos, lastProgress.find("] 3/3 img 1 failed 1016 B")) << output;
            EXPECT_EQ(test.columns > 80, lastProgress.find("B/s") != std::string::npos) << lastProgress;
            continue;
        }
        size_t relocated = FileCount();
        // Wrapped to the terminal's width: its lines joined again.
        const std::string joined = std::regex_replace(output, std::regex("\r\n  "), " ");
        const std::string left = std::to_string(8 - relocated);
        const std::regex summary("karvelo: stopped: relocated " + std::to_string(relocated) +
                                 (relocated == 1 ? " image" : " images") + " \\([0-9.]+ KiB in [0-9.]+ s\\); " + left +
                                 " left\\.\r?\n");
        EXPECT_TRUE(std::regex_search(joined, summary)) << output;
        if (!test.quiet) {
            EXPECT_NE(std::string::npos,
                      joined.find("run the same command again to continue with the " + left + " left."))
                << output;
        }
        EXPECT_LT(relocated, 8u);
    }
    onRequest = nullptr;
    RemoveBackups(PackagePath());
}

// What a terminal shows of `output` at the end, line by line: a carriage
// return goes back to the line's start, ESC [ K erases to its end, a line
// feed starts the next line; a character overwrites the cells it takes (two
// for a wide one).
std::vector<std::string> ScreenLines(const std::string& output) {
    std::vector<std::vector<std::string>> screen(1);  // per line, per cell ("" behind a wide character)
    size_t column = 0;
    for (size_t i = 0; i < output.size();) {
        std::vector<std::string>& cells = screen.back();
        if (output[i] == '\r' || output[i] == '\n') {
            if (output[i] == '\n') screen.emplace_back();
            column = 0;
            ++i;
            continue;
        }
        if (output.compare(i, 3, "\x1b[K") == 0) {
            cells.resize(std::min(cells.size(), column));
            i += 3;
            continue;
        }
        const unsigned char lead = static_cast<unsigned char>(output[i]);
        const size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        const std::string character = output.substr(i, length);
        const size_t width = DisplayColumns(character);
        if (cells.size() < column + width) cells.resize(column + width, " ");
        cells[column] = character;
        if (width == 2) cells[column + 1] = "";
        column += width;
        i += length;
    }
    std::vector<std::string> lines;
    for (const auto& cells : screen) {
        std::string line;
        for (const std::string& cell : cells) line += cell;
        lines.push_back(line);
    }
    return lines;
}

// With a line per image on a 60-column terminal: each image's line says
// where it went or why it failed, the progress line is erased before every
// other line and drawn again under it (so only the last one stays), and
// the text is wrapped at words: no line is wider than the terminal unless
// it is one word, and no address or path is broken.
TEST_F(CliTest, VerboseLinesOnATerminalLeaveNoStaleProgressLine) {
    const int COLUMNS = 60;
    PackageLayout layout;
    std::vector<std::string> served, gone;
    for (int i = 0; i < 6; ++i) {
        const std::string name = "image-with-a-rather-long-name-" + std::to_string(i) + ".png";
        if (i % 3 == 2) {
            gone.push_back(Url(name));
        } else {
            Serve(name, PNG);
            served.push_back(Url(name));
        }
        layout.items.push_back(MakeItem(Gbk("宝贝") + std::to_string(i), "<img src=\"" + Url(name) + "\">", ""));
    }
    delayMilliseconds = 120;  // the progress line is drawn between the images
    struct Language {
        const char* locale;
        const char *progress, *total, *failed;
    } languages[] = {{"LANG=C.UTF-8", " img ", "] 6/6 img 2 failed", "failed: "},
                     {"LANG=zh_CN.UTF-8", " 张 ", "] 6/6 张 2 张失败", "失败："}};
    for (const Language& language : languages) {
        SCOPED_TRACE(language.locale);
        std::filesystem::remove_all(Destination());
        std::filesystem::create_directory(Destination());
        ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
        std::vector<std::string> command = {"/usr/bin/env", "LC_ALL=", "LC_MESSAGES=", "LANGUAGE=", language.locale};
        for (const std::string& part :
             KarveloCommand({"relocate", "-v", "--no-library", "--jobs", "1", PackagePath(), Destination()}))
            command.push_back(part);
        int terminal = -1;
        pid_t karvelo = StartProcessOnTerminal(command, COLUMNS, &terminal);
        ASSERT_GT(karvelo, 0);
        std::string output;
        char buffer[4096];
        for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR);) {
            if (got > 0) output.append(buffer, static_cast<size_t>(got));
        }
        close(terminal);
        int code = -1;
        for (int wait = 0; wait < STOP_BOUND_MILLISECONDS / 20 && !ProcessEnded(karvelo, &code); ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(3, code) << output;
        ASSERT_EQ(served.size(), FileCount());

        std::string screen;
        size_t progressLines = 0;
        for (const std::string& line : ScreenLines(output)) {
            screen += line + "\n";
            if (line.rfind("[", 0) == 0 && line.find(language.progress) != std::string::npos) {
                ++progressLines;
                EXPECT_NE(std::string::npos, line.find(language.total)) << "a stale progress line: " << line;
            }
            const size_t text = line.find_first_not_of(' ');
            const bool oneWord = text == std::string::npos || line.find(' ', text) == std::string::npos;
            EXPECT_TRUE(DisplayColumns(line) <= static_cast<size_t>(COLUMNS) || oneWord) << "too wide: " << line;
        }
        EXPECT_EQ(1u, progressLines) << screen;
        // Each address whole on a line, its file (whole) or its reason after it.
        std::set<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(Destination()))
            files.insert(entry.path().string());
        for (const std::string& url : served) {
            const std::regex said(std::regex_replace(url, std::regex("[.?]"), "\\$&") + "\\s+-> *\n? *(" +
                                  Destination() + "/\\S+)\n");
            std::smatch match;
            ASSERT_TRUE(std::regex_search(screen, match, said)) << url << "\n" << screen;
            EXPECT_EQ(1u, files.count(match[1].str())) << match[1];
        }
        for (const std::string& url : gone) {
            const std::regex said(std::regex_replace(url, std::regex("[.?]"), "\\$&") + "\\s+" + language.failed +
                                  "\\S");
            EXPECT_TRUE(std::regex_search(screen, said)) << url << "\n" << screen;
        }
    }
    delayMilliseconds = 0;
    RemoveBackups(PackagePath());
}

// Two runs at once into one folder (the window and the command line, or
// two packages): every image name is taken by creating the file, so each
// package names only its own images.  The server holds every answer until
// both runs have asked for their first eight, so both have handed out
// their names before any image arrives.
TEST_F(CliTest, TwoRunsAtOnceIntoOneFolderKeepTheirOwnImages) {
    const int IMAGES = 20;
    std::map<std::string, std::string> bodies[2];
    PackageLayout layouts[2];
    std::string packages[2];
    for (int run = 0; run < 2; ++run) {
        for (int i = 0; i < IMAGES; ++i) {
            std::string name = std::to_string(run) + "-" + std::to_string(i) + ".png";
            bodies[run][Url(name)] = PNG + name;
            Serve(name, bodies[run][Url(name)]);
            layouts[run].items.push_back(MakeItem(Gbk("宝贝") + name, "<img src=\"" + Url(name) + "\">", ""));
        }
        packages[run] = dir.File("two" + std::to_string(run) + ".csv");
        ASSERT_TRUE(WritePackageFile(packages[run], layouts[run]));
    }
    std::atomic<int> asked{0};
    onRequest = [&] {
        ++asked;
        for (int wait = 0; wait < 500 && asked < 16; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    pid_t runs[2] = {StartProcess(KarveloCommand({"relocate", packages[0], Destination(), "--jobs", "8"})),
                     StartProcess(KarveloCommand({"relocate", packages[1], Destination(), "--jobs", "8"}))};
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        int code = -1;
        for (int wait = 0; wait < 3000 && !ProcessEnded(runs[run], &code); ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(0, code);
        EXPECT_EQ(static_cast<size_t>(IMAGES),
                  CheckWholePackage(packages[run], layouts[run], Destination(), Destination(), bodies[run]).size());
        RemoveBackups(packages[run]);
    }
    onRequest = nullptr;
    EXPECT_EQ(static_cast<size_t>(2 * IMAGES), FileCount());
}

// Killed outright (SIGKILL: a crash, a power cut) at ten moments spread over
// a slow run, and started again after each: the package on disk is always
// whole and true (CheckWholePackage), and the last run ends with what one
// uninterrupted run gives, file names aside.
TEST_F(CliTest, KilledRunsLeaveAWholePackageAndTheLastOneFinishes) {
    const int IMAGES = 40;
    std::map<std::string, std::string> bodies;
    for (int i = 0; i < IMAGES; ++i) {
        std::string name = std::to_string(i) + ".png";
        bodies[Url(name)] = PNG + name + std::string(static_cast<size_t>(i) * 7, 'x');
        Serve(name, bodies[Url(name)]);
    }
    // Each item: a description image it shares with the next item and a mobile one; one address fails.
    PackageLayout layout;
    for (int i = 0; i < IMAGES / 2; ++i) {
        std::string description = "<img src=\"" + Url(std::to_string(2 * i) + ".png") + "\"><img src=\"" +
                                  Url(std::to_string((2 * i + 2) % IMAGES) + ".png") + "\">";
        if (i == 3) description += "<img src=\"" + Url("gone.png") + "\">";
        layout.items.push_back(MakeItem(Gbk("宝贝") + std::to_string(i), description,
                                        "<img>" + Url(std::to_string(2 * i + 1) + ".png") + "</img>"));
    }
    const std::string reference = dir.File("reference.csv"), referenceImages = dir.File("reference");
    ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
    ASSERT_TRUE(WritePackageFile(reference, layout));
    std::filesystem::create_directory(referenceImages);
    ASSERT_EQ(3, RunKarvelo({"relocate", reference, referenceImages}).exitCode);

    setenv("KARVELO_CHECKPOINT_SECONDS", "1", 1);
    delayMilliseconds = 100;
    int code = -SIGKILL;
    for (int moment = 1; moment <= 10 && code == -SIGKILL; ++moment) {
        victimRequests = 0;
        killAtRequest = 3 * moment;
        pid_t karvelo = StartProcess(KarveloCommand({"relocate", PackagePath(), Destination(), "--jobs", "2"}));
        ASSERT_GT(karvelo, 0);
        victim = karvelo;
        for (int wait = 0; wait < 3000 && !ProcessEnded(karvelo, &code); ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        victim = 0;
        SCOPED_TRACE("killed at request " + std::to_string(3 * moment));
        CheckWholePackage(PackagePath(), layout, Destination(), Destination(), bodies);
        // A killed run's library holds no row whose file is not whole.
        if (PathExists(Destination() + "/.karvelo/library.sqlite3")) CheckLibrary(Destination(), true);
    }
    unsetenv("KARVELO_CHECKPOINT_SECONDS");
    delayMilliseconds = 0;
    if (code == -SIGKILL) code = RunKarvelo({"relocate", PackagePath(), Destination()}).exitCode;
    EXPECT_EQ(3, code);  // "gone.png" failed
    std::set<std::string> relocated, referenceRelocated;
    EXPECT_EQ(
        RestoreAddresses(DecodePackageFile(reference), referenceImages, referenceImages, bodies, true,
                         &referenceRelocated),
        RestoreAddresses(DecodePackageFile(PackagePath()), Destination(), Destination(), bodies, true, &relocated));
    EXPECT_EQ(static_cast<size_t>(IMAGES), relocated.size());
    EXPECT_EQ(static_cast<size_t>(IMAGES), CheckLibrary(Destination()).size());
    RemoveBackups(PackagePath());
    RemoveBackups(reference);
}

// The destination is a small tmpfs (in a mount namespace of the test's own)
// that fills up during a run: the run stops with the write-error message,
// the package refers to every image stored and the destination holds
// nothing else, no partial file; with room made the next run finishes.
TEST_F(CliTest, FullDestinationStopsCleanlyAndTheNextRunFinishes) {
    std::vector<std::string> unshare = MountNamespace();
    if (unshare.empty()) {
        GTEST_SKIP() << "this machine does not let the test make a mount namespace (unshare --mount), which the "
                        "small tmpfs of this test needs";
    }
    const int IMAGES = 12;
    std::map<std::string, std::string> bodies;
    PackageLayout layout;
    for (int i = 0; i < IMAGES; ++i) {
        std::string name = std::to_string(i) + ".png";
        bodies[Url(name)] = PNG + std::string(7000 + i, static_cast<char>('a' + i));  // two pages each
        Serve(name, bodies[Url(name)]);
        layout.items.push_back(MakeItem(Gbk("宝贝") + std::to_string(i), "<img src=\"" + Url(name) + "\">", ""));
    }
    ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
    std::string karvelo;
    // The image library's database would take the room this geometry
    // leaves for the images.
    for (const std::string& part : KarveloCommand({"relocate", "--no-library", PackagePath(), Destination()}))
        karvelo += Quoted(part) + " ";
    const std::string full = dir.File("full"), freed = dir.File("freed"), dest = Quoted(Destination());
    // 96 KiB of which a filler takes 64: room for about four images.
    const std::string script =
        "mount -t tmpfs -o size=96k tmpfs " + dest +
        " || exit 97\n"
        "head -c 65536 /dev/zero > " +
        dest + "/filler\n" + karvelo + "> " + Quoted(full + ".out") + " 2>&1; echo $? > " + Quoted(full + ".code") +
        "\n"
        "mkdir " +
        Quoted(full) + " && cp " + dest + "/* " + Quoted(full) + " && cp " + Quoted(PackagePath()) + " " +
        Quoted(full + ".csv") +
        "\n"
        "rm " +
        dest + "/filler\n" + karvelo + "> " + Quoted(freed + ".out") + " 2>&1; echo $? > " + Quoted(freed + ".code") +
        "\n"
        "mkdir " +
        Quoted(freed) + " && cp " + dest + "/* " + Quoted(freed) + "\n";
    std::vector<std::string> command = unshare;
    command.insert(command.end(), {"/bin/sh", "-c", script});
    ProcessResult result = RunProcess(command);
    ASSERT_EQ(0, result.exitCode) << result.err;

    EXPECT_EQ("1\n", ReadWholeFile(full + ".code"));
    EXPECT_NE(std::string::npos,
              ReadWholeFile(full + ".out").find("Writing a file failed; check whether the disk is full."));
    std::filesystem::remove(full + "/filler");
    std::set<std::string> stored = CheckWholePackage(full + ".csv", layout, Destination(), full, bodies);
    EXPECT_GE(stored.size(), 1u);
    EXPECT_LT(stored.size(), static_cast<size_t>(IMAGES));
    EXPECT_EQ(stored.size(), static_cast<size_t>(std::distance(std::filesystem::directory_iterator(full),
                                                               std::filesystem::directory_iterator())));

    EXPECT_EQ("0\n", ReadWholeFile(freed + ".code")) << ReadWholeFile(freed + ".out");
    EXPECT_EQ(static_cast<size_t>(IMAGES),
              CheckWholePackage(PackagePath(), layout, Destination(), freed, bodies).size());
    RemoveBackups(PackagePath());
}

// A package the system will not let be written (an immutable file stands
// for a read-only mount or another user's file, which root may write) is
// refused before the run; when that comes only during the run, the end
// keeps the rewritten package beside it, names it and exits with 4.  Paths
// too long for what the run forms are refused before it as well.
TEST_F(CliTest, PackageThatCannotBeWrittenIsRefusedOrKeptBeside) {
    Serve("a.png", PNG);
    Serve("b.png", PNG);
    Serve("c.png", PNG);
    ASSERT_TRUE(WritePackageFile(PackagePath(), TwoItems(Url("a.png"), Url("b.png"), Url("c.png"))));
    const std::string original = ReadWholeFile(PackagePath());
    const std::string stem = std::filesystem::path(PackagePath()).stem().string();
    auto immutable = [&](bool on) {
        return RunProcess({"/usr/bin/chattr", on ? "+i" : "-i", PackagePath()}).exitCode == 0;
    };
    if (!immutable(true)) GTEST_SKIP() << "chattr +i is refused here (not root, or the file system lacks the flag)";
    struct Undo {
        std::function<bool(bool)> set;
        ~Undo() { set(false); }
    } undo{immutable};

    ProcessResult refused = RunKarvelo({"relocate", PackagePath(), Destination()});
    EXPECT_EQ(1, refused.exitCode);
    EXPECT_NE(std::string::npos, refused.err.find(PackagePath() + " or its folder is not writable")) << refused.err;
    EXPECT_TRUE(server.RequestedPaths().empty());
    EXPECT_FALSE(PathExists(BuildFolder() + "/bak/" + stem + "(1).csv"));

    ASSERT_TRUE(immutable(false));
    onRequest = [&] { immutable(true); };  // from the first image on
    ProcessResult kept = RunKarvelo({"relocate", "--no-library", PackagePath(), Destination()});
    onRequest = nullptr;
    ASSERT_TRUE(immutable(false));
    EXPECT_EQ(4, kept.exitCode) << kept.err;
    const std::string keptPath = dir.File(stem + "(已搬家).csv");
    EXPECT_NE(
        std::string::npos,
        kept.err.find("may be open in Excel, WPS or another program, so it could not be updated.\n\nThe relocated "
                      "package is saved as:\n" +
                      keptPath + "\n"))
        << kept.err;
    EXPECT_EQ(original, ReadWholeFile(PackagePath()));
    std::string text = DecodePackageFile(keptPath);
    for (const char* name : {"a.png", "b.png", "c.png"}) EXPECT_EQ(std::string::npos, text.find(Url(name))) << name;
    EXPECT_EQ(3u, FileCount());
    RemoveBackups(PackagePath());

    // The temporary file beside a package 12 bytes short of the system's
    // limit would reach it.
    const std::string longPackage =
        dir.DeepFolder(MAX_PATH_BYTES - 12 - 1 - 24, 'p') + "/" + std::string(20, 'p') + ".csv";
    ASSERT_TRUE(WriteWholeFile(longPackage, original));
    ProcessResult longName = RunKarvelo({"relocate", longPackage, Destination()});
    EXPECT_EQ(1, longName.exitCode);
    EXPECT_NE(std::string::npos, longName.err.find("the paths the run forms from " + longPackage)) << longName.err;
    // No room for "/m-9999-12-31-23-59-2147483647.jpeg" after 35 bytes short.
    const std::string longFolder = dir.DeepFolder(MAX_PATH_BYTES - 35, 'd');
    ASSERT_TRUE(std::filesystem::is_directory(longFolder));
    ProcessResult longDestination = RunKarvelo({"relocate", PackagePath(), longFolder});
    EXPECT_EQ(1, longDestination.exitCode);
    EXPECT_NE(std::string::npos, longDestination.err.find(longFolder + " is too long for the images' names"));
    EXPECT_TRUE(std::filesystem::is_empty(longFolder));
    EXPECT_EQ(3, static_cast<int>(server.RequestedPaths().size()));
}

// Installed where it cannot write (its folder a read-only bind mount, in a
// mount namespace of the test's own), karvelo keeps backups and log in
// $XDG_STATE_HOME/karvelo, or ~/.local/state/karvelo when that variable is
// unset or relative; where it can write, beside itself as before.  After
// each run stderr names the backup.
TEST_F(CliTest, BackupAndLogGoToTheStateFolderWhereTheProgramCannotWrite) {
    std::vector<std::string> unshare = MountNamespace();
    if (unshare.empty()) GTEST_SKIP() << "this machine does not let the test make a mount namespace (unshare --mount)";
    Serve("a.png", PNG);
    ASSERT_TRUE(WritePackageFile(PackagePath(), TwoItems(Url("a.png"), Url("a.png"), Url("a.png"))));
    const std::string original = ReadWholeFile(PackagePath());
    const std::string program = dir.File("program"), karvelo = program + "/karvelo";
    ASSERT_TRUE(std::filesystem::create_directory(program));
    std::filesystem::copy_file(KarveloCommand({})[0], karvelo);
    const std::string xdg = dir.File("xdg"), home = dir.File("home");
    ASSERT_TRUE(std::filesystem::create_directory(home));
    const std::string relocate = Quoted(karvelo) + " relocate " + Quoted(PackagePath()) + " " + Quoted(Destination());
    auto run = [&](const std::string& name, const std::string& environment) {
        return "env " + environment + " " + relocate + " >" + Quoted(dir.File(name + ".out")) + " 2>" +
               Quoted(dir.File(name + ".err")) + "; echo $? >" + Quoted(dir.File(name + ".code")) + "\n";
    };
    const std::string script =
        "mount --bind " + Quoted(program) + " " + Quoted(program) + " && mount -o remount,bind,ro " + Quoted(program) +
        " " + Quoted(program) + " || exit 97\n" + run("xdg", "XDG_STATE_HOME=" + Quoted(xdg)) +
        run("unset", "-u XDG_STATE_HOME HOME=" + Quoted(home)) +
        run("relative", "XDG_STATE_HOME=relative/state HOME=" + Quoted(home)) + "env XDG_STATE_HOME=" + Quoted(xdg) +
        " " + Quoted(karvelo) + " help files >" + Quoted(dir.File("help.out")) + "\n";
    std::vector<std::string> command = unshare;
    command.insert(command.end(), {"/bin/sh", "-c", script});
    ProcessResult result = RunProcess(command);
    ASSERT_EQ(0, result.exitCode) << result.err;
    const std::string stem = std::filesystem::path(PackagePath()).stem().string();
    auto expectRun = [&](const std::string& name, const std::string& folder, int number) {
        SCOPED_TRACE(name);
        EXPECT_EQ("0\n", ReadWholeFile(dir.File(name + ".code"))) << ReadWholeFile(dir.File(name + ".err"));
        const std::string backup = folder + "/bak/" + stem + "(" + std::to_string(number) + ").csv";
        EXPECT_TRUE(PathExists(backup));
        EXPECT_TRUE(PathExists(folder + "/app.log"));
        EXPECT_NE(std::string::npos,
                  ReadWholeFile(dir.File(name + ".err")).find(backup + "; the log is " + folder + "/app.log\n"))
            << ReadWholeFile(dir.File(name + ".err"));
        return backup;
    };
    EXPECT_EQ(original, ReadWholeFile(expectRun("xdg", xdg + "/karvelo", 1)));  // the run relocated the package
    expectRun("unset", home + "/.local/state/karvelo", 1);
    expectRun("relative", home + "/.local/state/karvelo", 2);
    EXPECT_FALSE(PathExists("relative"));
    EXPECT_EQ(std::filesystem::perms::owner_all,
              std::filesystem::status(home + "/.local/state").permissions());  // made for the user alone
    EXPECT_NE(std::string::npos,
              ReadWholeFile(dir.File("help.out")).find("For you, that folder is " + xdg + "/karvelo\n"));
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(program), std::filesystem::directory_iterator()));

    // Writable: beside the program, whatever the variable says.
    setenv("XDG_STATE_HOME", xdg.c_str(), 1);
    ProcessResult writable = RunProcess({karvelo, "relocate", PackagePath(), Destination()});
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(0, writable.exitCode) << writable.err;
    EXPECT_TRUE(PathExists(program + "/bak/" + stem + "(1).csv"));
    EXPECT_TRUE(PathExists(program + "/app.log"));
    EXPECT_FALSE(PathExists(xdg + "/karvelo/bak/" + stem + "(2).csv"));
}

// Remote addresses by source and those already local, per item and in
// total; inspecting writes nothing anywhere, not even the state folder.
TEST_F(CliTest, InspectCountsRemoteAndLocalAddresses) {
    const std::string local = Destination() + "/2026-1-1-1-1-";
    PackageLayout half;
    half.items.push_back(MakeItem(Gbk("连衣裙"),
                                  "<img src=\"https://img.alicdn.com/imgextra/a.jpg\"><img src=\"" + local +
                                      "1.jpg\"><img src='" + local + "1.jpg'>" +
                                      "<img src=\"http://photo.example.com/b.jpg\">",
                                  "<img>https://img.alicdn.com/imgextra/m.jpg</img><img>" + local + "2.jpg</img>"));
    half.items.push_back(MakeItem(Gbk("帆布包"), "<div style=\"background:url(" + local + "3.png)\"></div>", ""));
    PackageLayout relocated;
    relocated.items.push_back(half.items[1]);
    PackageLayout none;
    none.items.push_back(MakeItem(Gbk("纸盒"), "<p>no images</p>", ""));

    const std::string program = dir.File("program"), karvelo = program + "/karvelo", xdg = dir.File("xdg");
    ASSERT_TRUE(std::filesystem::create_directory(program));
    std::filesystem::copy_file(KarveloCommand({})[0], karvelo);
    struct Case {
        const PackageLayout& layout;
        std::string rows, total, verdict;
    };
    const std::string gap(34, ' ');  // between the two columns of counts
    // clang-format off
    const std::vector<Case> cases = {
        {half, "1/1/1/0" + gap + "1/0/1/0  连衣裙\n",
         "2 items; description images: 1 image space, 1 outside albums, 2 local, 0 blank; mobile images: 1 image "
         "space, 0 outside albums, 1 local, 0 blank\n",
         "3 image addresses still remote, 3 local, 0 blank\n"},
        {relocated, "0/0/1/0" + gap + "0/0/0/0  帆布包\n", "1 items; description images: 0 image space, "
         "0 outside albums, 1 local, 0 blank", "all relocated: every image address (1) is a local path\n"},
        {none, "0/0/0/0" + gap + "0/0/0/0  纸盒\n", "1 items;", "no images: the package has no image address\n"},
    };
    // clang-format on
    for (const Case& c : cases) {
        ASSERT_TRUE(WritePackageFile(PackagePath(), c.layout));
        const std::string original = ReadWholeFile(PackagePath());
        ProcessResult result = RunProcess(
            {"/usr/bin/env", "XDG_STATE_HOME=" + xdg, "HOME=" + dir.File("home"), karvelo, "inspect", PackagePath()});
        EXPECT_EQ(0, result.exitCode) << result.err;
        for (const std::string& part : {c.rows, c.total, c.verdict}) {
            EXPECT_NE(std::string::npos, result.out.find(part)) << part << "\n" << result.out;
        }
        EXPECT_EQ(original, ReadWholeFile(PackagePath()));
    }
    EXPECT_FALSE(PathExists(xdg));
    EXPECT_FALSE(PathExists(dir.File("home")));
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(program), std::filesystem::directory_iterator()));
}

TEST_F(CliTest, VersionHelpAndDemo) {
    ProcessResult version = RunKarvelo({"--version"});
    EXPECT_EQ(0, version.exitCode);
    EXPECT_EQ("Karvelo 7.3\n", version.out);
    ProcessResult help = RunKarvelo({"--help"});
    EXPECT_EQ(0, help.exitCode);
    EXPECT_NE(std::string::npos, help.out.find("karvelo relocate [options] PACKAGE... DEST"));
    // One screen, laid out for 80 columns off a terminal; it points to the rest.
    EXPECT_LE(std::count(help.out.begin(), help.out.end(), '\n'), 24) << help.out;
    for (const char* pointer : {"karvelo COMMAND --help", "karvelo help TOPIC", "--blank-failed goods.csv"}) {
        EXPECT_NE(std::string::npos, help.out.find(pointer)) << pointer;
    }

    // The demo starts afresh each time: a second run shows the same, apart
    // from the server's port and the minute in the images' names.
    auto normalised = [](std::string text) {
        text = std::regex_replace(text, std::regex("127\\.0\\.0\\.1:[0-9]+"), "127.0.0.1:PORT");
        return std::regex_replace(text, std::regex("[0-9]+-[0-9]+-[0-9]+-[0-9]+-[0-9]+-([0-9]+)\\."), "TIME-$1.");
    };
    std::string outputs[2];
    for (int run = 0; run < 2; ++run) {
        ProcessResult demo = RunKarvelo({"demo", dir.File("demo")});
        EXPECT_EQ(0, demo.exitCode) << demo.err;
        EXPECT_NE(std::string::npos, demo.out.find("is updated"));
        EXPECT_NE(std::string::npos, demo.out.find("Images served: 6\n"));
        EXPECT_EQ(6, std::distance(std::filesystem::directory_iterator(dir.File("demo/images")),
                                   std::filesystem::directory_iterator()));
        outputs[run] = normalised(demo.out);
    }
    EXPECT_EQ(outputs[0], outputs[1]);
}

#if GTEST_HAS_DEATH_TEST
// Out of memory, the command line says so as it says any fatal error and
// ends with EXIT_REFUSED (1), as after an error box.
TEST(CliOutOfMemory, IsSaidAsAFatalErrorAndEndsWithOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            InstallConsoleFrontEnd();
            FailNextAllocation();
            Allocate(16);
        },
        ::testing::ExitedWithCode(EXIT_REFUSED),
        "^error: Out of memory: 16 bytes could not be allocated, and the program cannot go on\\.\n");
}
#endif

// The language follows gettext's rule: LANGUAGE's first entry unless the
// locale is C or POSIX, else the first set of LC_ALL, LC_MESSAGES, LANG;
// zh_* is Chinese.  A refusal says which was chosen.
TEST_F(CliTest, LanguageFollowsTheLocaleForEveryText) {
    const std::string missing = dir.File("gone.csv");
    struct Row {
        std::vector<std::string> environment;
        bool chinese;
    };
    // clang-format off
    const std::vector<Row> rows = {
        {{}, false},
        {{"LANG=zh_CN.UTF-8"}, true},
        {{"LANG=zh_TW.UTF-8"}, true},             // not generated here: the name is enough
        {{"LANG=C.UTF-8", "LANGUAGE=zh_CN"}, true},
        {{"LANG=zh_CN.UTF-8", "LANGUAGE=en"}, false},
        {{"LANG=zh_CN.UTF-8", "LANGUAGE=en:zh_CN"}, false},  // the first entry, not the first catalog found
        {{"LC_ALL=C", "LANGUAGE=zh"}, false},      // C ignores LANGUAGE
        {{"LANG=POSIX", "LANGUAGE=zh_CN"}, false},
        {{"LANGUAGE=zh_CN"}, false},               // no locale is C
        {{"LC_ALL=en_US.UTF-8", "LANG=zh_CN.UTF-8"}, false},
        {{"LC_MESSAGES=zh_CN.UTF-8", "LANG=C.UTF-8"}, true},
        {{"LC_ALL=zh_CN.GB18030"}, true},
        {{"LANG=zhx_CN.UTF-8"}, false},
    };
    // clang-format on
    for (const Row& row : rows) {
        std::string shown;
        for (const std::string& variable : row.environment) shown += variable + " ";
        ProcessResult result = RunKarveloUnder(row.environment, {"inspect", missing});
        EXPECT_EQ(1, result.exitCode) << shown;
        EXPECT_EQ(row.chinese ? "karvelo inspect: " + missing + " 不存在\n"
                              : "karvelo inspect: " + missing + " does not exist\n",
                  result.err)
            << shown;
    }
}

// A file the listing tool did not write is refused with its encoding named
// and the way to export it again; a broken export keeps the general words.
TEST_F(CliTest, PackageInAnotherEncodingIsNamed) {
    const std::string header = "version 1.00\r\ntitle\tdescription\r\n";
    const std::string chinese = "宝贝名称\t宝贝描述\r\n\"衬衫\"\t\"<p></p>\"\r\n";
    std::string utf16be = "\xfe\xff";
    for (char c : header) utf16be += std::string(1, '\0') + c;
    struct Row {
        std::string name, bytes, named;  // named: "" for the general words
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"utf8.csv", header + chinese, "UTF-8 text (saved by Excel or WPS?)"},
        {"marked.csv", "\xef\xbb\xbf" + header + chinese, "UTF-8 text with a byte-order mark (saved by Excel or WPS?)"},
        {"gbk.csv", header + Gbk(chinese), "GB18030/GBK text (saved by Excel or WPS?)"},
        {"utf16be.csv", utf16be, "UTF-16BE text"},
        {"unmarked16be.csv", utf16be.substr(2), "UTF-16BE text"},
        {"plain.csv", header, "plain text"},
        {"broken16le.csv", std::string("\xff\xfe" "v\0e\0r\0", 8), ""},
    };
    // clang-format on
    for (const Row& row : rows) {
        const std::string path = dir.File(row.name);
        ASSERT_TRUE(WriteWholeFile(path, row.bytes));
        ProcessResult result = RunKarvelo({"inspect", path});
        EXPECT_EQ(1, result.exitCode) << row.name;
        const std::string expected =
            row.named.empty()
                ? path + " cannot be read as a package (its header or rows are broken)"
                : path + " is " + row.named +
                      ", not the listing tool's export (UTF-16LE): open the listing tool (淘宝助理), "
                      "import it into a new category, export that category as CSV over it, and run again\n";
        EXPECT_NE(std::string::npos, result.err.find(expected)) << row.name << ": " << result.err;
    }
    ProcessResult chineseResult = RunKarveloUnder({"LANG=zh_CN.UTF-8"}, {"inspect", dir.File("utf8.csv")});
    EXPECT_NE(std::string::npos,
              chineseResult.err.find(dir.File("utf8.csv") +
                                     " 是UTF-8 文本（被 Excel 或 WPS 保存过？），不是淘宝助理导出的数据包"))
        << chineseResult.err;
}

// The summary after each run, in both languages, against the run's real
// counts: a first run with a failure, a second that finds nothing new and
// fails again, a third that fetches the last image, a fourth with nothing
// left to do.
TEST_F(CliTest, SummaryCountsEachRunInBothLanguages) {
    Serve("a.png", PNG);
    Serve("c.png", PNG);
    const PackageLayout layout = TwoItems(Url("a.png"), Url("gone.png"), Url("c.png"));
    const std::string name = std::filesystem::path(PackagePath()).filename().string();
    const std::string bak = BuildFolder() + "/bak/" + std::filesystem::path(PackagePath()).stem().string();
    // One sequence of runs per language; a size and a time as the run had them.
    const std::string size = "[0-9.]+ KiB", time = "[0-9.]+ s";
    struct Step {
        bool serveGone;
        int exitCode;
        std::vector<std::string> english, chinese;  // the summary's lines, as patterns
        std::string englishGone, chineseGone;       // the core's words no longer said ("" for none)
    };
    // clang-format off
    const std::vector<Step> steps = {
        {false, 3,
         {"karvelo: relocated 2 images \\(" + size + " in " + time + "\\); 1 failed in 2 items\\.",
          "karvelo: " + name + " written back; the package as it was is backed up in " + bak + "\\(1\\)\\.csv; .*",
          "karvelo: run the same command again to retry the 1; if they stay unreachable, add --blank-failed\\."},
         {"karvelo: 搬了 2 张图片（" + size + "，用时 " + time + "）；1 张失败，涉及 2 个宝贝。",
          "karvelo: " + name + " 已写回；数据包原来的样子备份在 " + bak + "\\(1\\)\\.csv；.*",
          "karvelo: 再运行同一条命令，重试这 1 张；如果一直无法访问，加上 --blank-failed。"},
         "", ""},
        {false, 3,
         {"karvelo: nothing new relocated; 2 were local already; 1 failed in 2 items\\.",
          "karvelo: " + name + " left as it was; the package as it was is backed up in " + bak + "\\(2\\)\\.csv; .*",
          "karvelo: run the same command again to retry the 1; .*"},
         {"karvelo: 没有搬到新的图片；2 张原来就是本地的；1 张失败，涉及 2 个宝贝。",
          "karvelo: " + name + " 保持原样；数据包原来的样子备份在 " + bak + "\\(2\\)\\.csv；.*",
          "karvelo: 再运行同一条命令，重试这 1 张；.*"},
         "no image was relocated", "没有找到搬家成功的图片"},
        {true, 0,
         {"karvelo: relocated 1 image \\(" + size + " in " + time + "\\); 2 were local already\\.",
          "karvelo: " + name + " written back; .*"},
         {"karvelo: 搬了 1 张图片（" + size + "，用时 " + time + "）；2 张原来就是本地的。",
          "karvelo: " + name + " 已写回；.*"},
         "", ""},
        {true, 0,
         {"karvelo: nothing new to relocate: all 4 image addresses are local already",
          "karvelo: " + name + " left as it was; .*"},
         {"karvelo: 没有新的图片需要搬家：全部 4 个图片地址都已经是本地的了", "karvelo: " + name + " 保持原样；.*"},
         "No image to relocate was found.", "没有找到需要搬家的图片。"},
    };
    // clang-format on
    for (bool chinese : {false, true}) {
        SCOPED_TRACE(chinese ? "zh_CN.UTF-8" : "C.UTF-8");
        RemoveBackups(PackagePath());
        std::filesystem::remove_all(Destination());
        std::filesystem::create_directory(Destination());
        ASSERT_TRUE(WritePackageFile(PackagePath(), layout));
        {
            std::lock_guard<std::mutex> lock(mutex);
            routes.erase("/img/gone.png");
        }
        for (size_t i = 0; i < steps.size(); ++i) {
            const Step& step = steps[i];
            SCOPED_TRACE("run " + std::to_string(i + 1));
            if (step.serveGone) Serve("gone.png", PNG);
            ProcessResult result = RunKarveloUnder({chinese ? "LANG=zh_CN.UTF-8" : "LANG=C.UTF-8"},
                                                   {"relocate", "--no-library", PackagePath(), Destination()});
            EXPECT_EQ(step.exitCode, result.exitCode) << result.err;
            std::vector<std::string> summary;
            for (size_t at = 0, end; (end = result.err.find('\n', at)) != std::string::npos; at = end + 1) {
                if (result.err.compare(at, 9, "karvelo: ") == 0) summary.push_back(result.err.substr(at, end - at));
            }
            const std::vector<std::string>& expected = chinese ? step.chinese : step.english;
            ASSERT_EQ(expected.size(), summary.size()) << result.err;
            for (size_t line = 0; line < expected.size(); ++line) {
                EXPECT_TRUE(std::regex_match(summary[line], std::regex(expected[line]))) << summary[line];
            }
            const std::string& gone = chinese ? step.chineseGone : step.englishGone;
            if (!gone.empty()) {
                EXPECT_EQ(std::string::npos, (result.out + result.err).find(gone)) << result.err;
            }
        }
    }
    // Quiet: the first line alone.
    ProcessResult quiet = RunKarvelo({"relocate", "-q", PackagePath(), Destination()});
    EXPECT_EQ("karvelo: nothing new to relocate: all 4 image addresses are local already\n", quiet.err);
    EXPECT_EQ("", quiet.out);
    RemoveBackups(PackagePath());
}

// Several packages in one command: an address they share is requested once
// and both name its file; DEST's image library spares a later command the
// requests, and --no-library neither reads nor makes it.  A folder stands
// for its .csv files; a refused package is named and the others go on, and
// the exit code is the worst of theirs.
TEST_F(CliTest, SeveralPackagesShareTheirImagesAndTheLibraryKeepsThem) {
    std::map<std::string, std::string> bodies;
    for (int i = 0; i < 8; ++i) {
        const std::string name = std::to_string(i) + ".png";
        bodies[Url(name)] = PNG + std::string(1, static_cast<char>('a' + i));
        Serve(name, bodies[Url(name)]);
    }
    // A package of one item per address, "gone" for one no server holds
    // (a missing image is asked twice).
    auto layoutOf = [&](const std::vector<std::string>& names) {
        PackageLayout layout;
        for (const std::string& name : names)
            layout.items.push_back(MakeItem("item " + name, "<img src=\"" + Url(name + ".png") + "\">", ""));
        return layout;
    };
    const std::map<std::string, PackageLayout> layouts = {
        {"batch/one.csv", layoutOf({"0", "1", "2", "3"})},
        {"batch/two.csv", layoutOf({"2", "3", "4", "5"})},
        {"three.csv", layoutOf({"0", "1", "4", "6"})},
        {"again/one.csv", layoutOf({"0", "1", "2", "3"})},
        {"again/two.csv", layoutOf({"2", "3", "4", "5"})},
        {"fails.csv", layoutOf({"7", "gone"})},
        {"fine.csv", layoutOf({"7"})},
    };
    for (const char* folder : {"batch", "again", "empty"}) std::filesystem::create_directory(dir.File(folder));
    for (const auto& [name, layout] : layouts) ASSERT_TRUE(WritePackageFile(dir.File(name), layout));
    ASSERT_TRUE(WriteWholeFile(dir.File("broken.csv"), "not a package"));
    const std::string other = dir.File("other");
    struct Step {
        std::vector<std::string> operands;  // before DEST
        std::string destination;
        int exitCode;
        std::map<std::string, int> requested;  // per image name, the requests this step made
        std::vector<std::string> written;      // the packages it relocated whole (their images served)
        std::vector<std::string> said;         // parts stderr holds
        bool library;                          // DEST/.karvelo exists after it
    };
    const std::string dest = Destination();
    // clang-format off
    const std::vector<Step> steps = {
        {{dir.File("batch"), dir.File("batch/one.csv")}, dest, 0,
         {{"0", 1}, {"1", 1}, {"2", 1}, {"3", 1}, {"4", 1}, {"5", 1}}, {"batch/one.csv", "batch/two.csv"},
         {"package 2 of 2: " + dir.File("batch/two.csv"), "all 2 packages: relocated 6 images",
          "; 2 already in the destination; saved 2 requests and", "2 done, 0 refused, 0 kept beside"}, true},
        {{dir.File("three.csv")}, dest, 0, {{"6", 1}}, {"three.csv"},
         {"karvelo: relocated 1 image", "; 3 already in the destination; saved 3 requests"}, true},
        {{"--no-library", dir.File("again")}, other, 0,
         {{"0", 1}, {"1", 1}, {"2", 1}, {"3", 1}, {"4", 1}, {"5", 1}}, {"again/one.csv", "again/two.csv"},
         {"all 2 packages: relocated 6 images"}, false},
        {{dir.File("broken.csv"), dir.File("empty"), dir.File("fails.csv"), dir.File("fine.csv")}, dest, 1,
         {{"7", 1}, {"gone", 2}}, {"fine.csv"},
         {"karvelo relocate: " + dir.File("broken.csv") + " is plain text",
          dir.File("empty") + " is a folder, not a package file, and holds no package",
          "1 already in the destination", "2 done, 2 refused, 0 kept beside"}, true},
        {{dir.File("fails.csv"), dir.File("fine.csv")}, dest, 3, {{"gone", 2}}, {}, {"all 2 packages:"}, true},
    };
    // clang-format on
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        SCOPED_TRACE("step " + std::to_string(i + 1));
        std::map<std::string, int> before;
        {
            std::lock_guard<std::mutex> lock(mutex);
            before = requests;
        }
        std::vector<std::string> arguments = {"relocate"};
        arguments.insert(arguments.end(), step.operands.begin(), step.operands.end());
        arguments.push_back(step.destination);
        ProcessResult result = RunKarvelo(arguments);
        EXPECT_EQ(step.exitCode, result.exitCode) << result.err;
        for (const std::string& part : step.said)
            EXPECT_NE(std::string::npos, result.err.find(part)) << part << "\n" << result.err;
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& [path, count] : requests) {
            const std::string name = path.substr(path.rfind('/') + 1, path.rfind('.') - path.rfind('/') - 1);
            const auto wanted = step.requested.find(path.find("gone") != std::string::npos ? "gone" : name);
            EXPECT_EQ(wanted != step.requested.end() ? wanted->second : 0, count - before[path]) << path;
        }
        for (const std::string& name : step.written) {
            EXPECT_EQ(
                layouts.at(name).items.size(),
                CheckWholePackage(dir.File(name), layouts.at(name), step.destination, step.destination, bodies).size())
                << name;
        }
        EXPECT_EQ(step.library, PathExists(step.destination + "/.karvelo"));
    }
    // Each image is kept once in DEST: the shared ones are the same file.
    EXPECT_EQ(8u, FileCount());
    // Several packages' document: an entry per package, then the total.
    ASSERT_TRUE(WritePackageFile(dir.File("batch/one.csv"), layouts.at("batch/one.csv")));
    ProcessResult json = RunKarvelo({"relocate", "--json", dir.File("batch"), dir.File("fine.csv"), dest});
    EXPECT_EQ(0, json.exitCode) << json.err;
    for (const std::string& part :
         {std::string("{\"schema\":1,\"command\":\"relocate\",\"package\":null,\"packages\":[{\"package\":\"") +
              dir.File("batch/one.csv"),
          std::string("\"requests_saved\":4,"), std::string("\"total\":{\"packages\":3,\"done\":3,"),
          std::string("},\"exit_code\":0}\n")})
        EXPECT_NE(std::string::npos, json.out.find(part)) << part << "\n" << json.out;
    for (const auto& [name, layout] : layouts) RemoveBackups(dir.File(name));
}

// The library across runs: identical bytes under two addresses are kept
// once; a library file deleted or changed is fetched again, alone; a
// damaged library is set aside (kept, renamed) and a new one begun.
TEST_F(CliTest, TheLibraryKnowsWhatDestinationHoldsAndSetsADamagedOneAside) {
    std::map<std::string, std::string> bodies;
    for (const char* name : {"a", "b", "c", "twin"}) {
        const std::string body = PNG + (std::string(name) == "twin" ? "c" : name);
        bodies[Url(std::string(name) + ".png")] = body;
        Serve(std::string(name) + ".png", body);
    }
    PackageLayout layout;
    for (const auto& [url, body] : bodies) layout.items.push_back(MakeItem("item", "<img src=\"" + url + "\">", ""));
    auto requested = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        std::map<std::string, int> counts;
        for (const auto& [path, count] : requests) counts[path.substr(path.rfind('/') + 1)] = count;
        return counts;
    };
    const std::string library = Destination() + "/.karvelo/library.sqlite3";
    struct Step {
        std::function<void(const std::map<std::string, std::string>& rows)> before;
        std::map<std::string, int> fetched;
        size_t files;
        std::string said;
    };
    const std::vector<Step> steps = {
        {nullptr, {{"a.png", 1}, {"b.png", 1}, {"c.png", 1}, {"twin.png", 1}}, 3, ""},
        {[&](const std::map<std::string, std::string>& rows) {
             std::filesystem::remove(rows.at(Url("a.png")));
             std::string changed = ReadWholeFile(rows.at(Url("b.png")));
             changed.back() = 'X';  // the same size, other bytes
             ASSERT_TRUE(WriteWholeFile(rows.at(Url("b.png")), changed));
         },
         {{"a.png", 1}, {"b.png", 1}},
         4,
         ""},
        {[&](const std::map<std::string, std::string>&) { ASSERT_TRUE(WriteWholeFile(library, "not a database")); },
         {{"a.png", 1}, {"b.png", 1}, {"c.png", 1}, {"twin.png", 1}},
         7,
         "The image library " + library + " was damaged: it is kept as " + library + ".damaged-1"},
    };
    std::map<std::string, std::string> rows;
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i + 1));
        if (steps[i].before) steps[i].before(rows);
        const std::string package = dir.File("library" + std::to_string(i) + ".csv");
        ASSERT_TRUE(WritePackageFile(package, layout));
        const std::map<std::string, int> before = requested();
        ProcessResult result = RunKarvelo({"relocate", package, Destination()});
        EXPECT_EQ(0, result.exitCode) << result.err;
        EXPECT_NE(std::string::npos, result.err.find(steps[i].said)) << result.err;
        std::map<std::string, int> after = requested();
        for (const auto& [name, count] : after) {
            const auto wanted = steps[i].fetched.find(name);
            const int earlier = before.count(name) != 0 ? before.at(name) : 0;
            EXPECT_EQ(wanted != steps[i].fetched.end() ? wanted->second : 0, count - earlier) << name;
        }
        EXPECT_EQ(steps[i].files, FileCount());
        rows = CheckLibrary(Destination());
        EXPECT_EQ(4u, rows.size());
        // Every address is replaced by the file its row names, holding its bytes.
        const std::string text = DecodePackageFile(package);
        for (const auto& [url, body] : bodies) {
            EXPECT_EQ(std::string::npos, text.find(url)) << url;
            EXPECT_NE(std::string::npos, text.find(rows[url])) << url;
            EXPECT_EQ(body, ReadWholeFile(rows[url])) << url;
        }
        EXPECT_EQ(rows[Url("c.png")], rows[Url("twin.png")]);  // one file for the twins
        RemoveBackups(package);
    }
    EXPECT_EQ("not a database", ReadWholeFile(library + ".damaged-1"));
}

// Two runs at once into one DEST whose packages share half their
// addresses, in opposite orders: each address is requested once, by one of
// them, and both packages name its file.
TEST_F(CliTest, TwoRunsAtOnceShareTheLibraryAndFetchEachAddressOnce) {
    const int IMAGES = 30;
    std::map<std::string, std::string> bodies;
    PackageLayout layouts[2];
    for (int i = 0; i < IMAGES + IMAGES / 2; ++i) {
        const std::string name = std::to_string(i) + ".png";
        bodies[Url(name)] = PNG + name;
        Serve(name, bodies[Url(name)]);
    }
    for (int i = 0; i < IMAGES; ++i) {
        const std::string first = Url(std::to_string(i) + ".png");
        const std::string second = Url(std::to_string(IMAGES + IMAGES / 2 - 1 - i) + ".png");
        layouts[0].items.push_back(MakeItem("item", "<img src=\"" + first + "\">", ""));
        layouts[1].items.push_back(MakeItem("item", "<img src=\"" + second + "\">", ""));
    }
    std::string packages[2];
    for (int run = 0; run < 2; ++run) {
        packages[run] = dir.File("shared" + std::to_string(run) + ".csv");
        ASSERT_TRUE(WritePackageFile(packages[run], layouts[run]));
    }
    delayMilliseconds = 20;
    pid_t runs[2];
    for (int run = 0; run < 2; ++run)
        runs[run] = StartProcess(KarveloCommand({"relocate", packages[run], Destination(), "--jobs", "4"}));
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        int code = -1;
        for (int wait = 0; wait < 3000 && !ProcessEnded(runs[run], &code); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(0, code);
        EXPECT_EQ(static_cast<size_t>(IMAGES),
                  CheckWholePackage(packages[run], layouts[run], Destination(), Destination(), bodies).size());
        RemoveBackups(packages[run]);
    }
    delayMilliseconds = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(static_cast<size_t>(IMAGES + IMAGES / 2), requests.size());
        for (const auto& [path, count] : requests) EXPECT_EQ(1, count) << path;
    }
    EXPECT_EQ(static_cast<size_t>(IMAGES + IMAGES / 2), FileCount());
    EXPECT_EQ(static_cast<size_t>(IMAGES + IMAGES / 2), CheckLibrary(Destination()).size());
}

// A stop among several packages writes back the one in hand, names those
// not started and leaves them untouched, and ends with 130.
TEST_F(CliTest, AStopAmongSeveralPackagesNamesThoseNotStarted) {
    std::map<std::string, std::string> bodies;
    PackageLayout first, second;
    for (int i = 0; i < 6; ++i) {
        const std::string name = std::to_string(i) + ".png";
        bodies[Url(name)] = PNG + std::string(1, static_cast<char>('a' + i));
        Serve(name, bodies[Url(name)]);
        (i < 3 ? first : second).items.push_back(MakeItem("item", "<img src=\"" + Url(name) + "\">", ""));
    }
    const std::string one = dir.File("stop-one.csv"), two = dir.File("stop-two.csv");
    ASSERT_TRUE(WritePackageFile(one, first));
    ASSERT_TRUE(WritePackageFile(two, second));
    const std::string untouched = ReadWholeFile(two);
    delayMilliseconds = 300;
    const std::string output = dir.File("stopped.log");
    pid_t karvelo = StartProcess(KarveloCommand({"relocate", "--jobs", "1", one, two, Destination()}), output);
    ASSERT_GT(karvelo, 0);
    for (int wait = 0; wait < 200 && FileCount() < 1; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(130, StopProcess(karvelo, SIGINT, STOP_BOUND_MILLISECONDS)) << ReadWholeFile(output);
    const std::string said = ReadWholeFile(output);
    EXPECT_NE(std::string::npos, said.find("karvelo relocate: " + two + " not started\n")) << said;
    EXPECT_NE(std::string::npos, said.find("1 not started")) << said;
    EXPECT_EQ(untouched, ReadWholeFile(two));
    // Every image that arrived is in the first package, the rest remote.
    const std::string text = DecodePackageFile(one);
    size_t remote = 0;
    for (int i = 0; i < 3; ++i) remote += text.find(Url(std::to_string(i) + ".png")) != std::string::npos;
    EXPECT_EQ(3u - FileCount(), remote);
    RemoveBackups(one);
}
