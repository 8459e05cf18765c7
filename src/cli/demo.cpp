// karvelo demo: a whole relocation on a built-in example, with no network.
//
// An image server inside this process answers on 127.0.0.1; a sample
// package whose items point at it is written, relocated into the demo
// folder, and the first rewritten item is shown.  Without a network the
// marketplace's host names cannot resolve, so the demo's images are
// outside-album images on 127.0.0.1.
#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/console.h"
#include "cli/language.h"
#include "util/front_end.h"
#include "demo/loopback_server.h"
#include "package/writer.h"
#include "platform/fs.h"
#include "relocate/core_state.h"
#include "util/charset.h"
#include "util/files.h"
#include "base/strings.h"

namespace {

const char DEFAULT_DEMO_FOLDER[] = "karvelo-demo";
const char DEMO_PACKAGE_NAME[] = "demo-shop.csv";
const char DEMO_IMAGE_FOLDER[] = "images";
const int DEMO_BMP_SIDE = 48;

// A small BMP (24-bit, bottom-up) in one of a few colours.
std::string MakeBmp(int variant) {
    const int side = DEMO_BMP_SIDE;
    const int rowBytes = side * 3;  // a multiple of 4 for this side
    const int pixelBytes = rowBytes * side;
    std::string bmp(54 + static_cast<size_t>(pixelBytes), '\0');
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bmp[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    bmp[0] = 'B';
    bmp[1] = 'M';
    put32(2, static_cast<uint32_t>(bmp.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, side);
    put32(22, side);
    bmp[26] = 1;
    bmp[28] = 24;
    put32(34, static_cast<uint32_t>(pixelBytes));
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            size_t at = 54 + static_cast<size_t>(y * rowBytes + x * 3);
            bmp[at] = static_cast<char>((x * 5 + variant * 60) & 0xFF);
            bmp[at + 1] = static_cast<char>((y * 5 + variant * 30) & 0xFF);
            bmp[at + 2] = static_cast<char>((200 - variant * 40) & 0xFF);
        }
    }
    return bmp;
}

// A 1x1 GIF.
std::string MakeGif() {
    static const unsigned char gif[] = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80,
                                        0x00, 0x00, 0xFF, 0x66, 0x00, 0xFF, 0xFF, 0xFF, 0x21, 0xF9, 0x04,
                                        0x01, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x01,
                                        0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};
    return std::string(reinterpret_cast<const char*>(gif), sizeof gif);
}

// The demo's images: /img/N.bmp in a few colours and /img/N.gif.
LoopbackResponse DemoImage(const std::string& path) {
    LoopbackResponse response;
    bool image = path.rfind("/img/", 0) == 0 && path.size() > 9;
    if (image && path.compare(path.size() - 4, 4, ".bmp") == 0) {
        response.status = 200;
        // The colour is N's; an N that is no number takes the first.
        int64_t variant = 0;
        ParseDecimal(path.c_str() + 5, path.size() - 9, INT32_MAX, &variant);
        response.body = MakeBmp(static_cast<int>(variant));
        response.contentType = "image/bmp";
    } else if (image && path.compare(path.size() - 4, 4, ".gif") == 0) {
        response.status = 200;
        response.body = MakeGif();
        response.contentType = "image/gif";
    }
    return response;
}

// One row of the sample package, in the core's form.
std::string Row(const std::string& title, const std::string& description, const std::string& mobile) {
    auto quoted = [](const std::string& text) {
        std::string out = "\"";
        for (char c : text) {
            out += c;
            if (c == '"') out += '"';
        }
        return out + "\"";
    };
    return quoted(title) + "\t" + quoted("50011740") + "\t" + quoted(description) + "\t" + quoted(mobile) + "\t" +
           "99.00\r\n";
}

std::string DemoPackageText(int port) {
    const std::string base = "http://127.0.0.1:" + std::to_string(port) + "/img/";
    // 宝贝名称, 宝贝类目, 宝贝描述, 无线详情, 价格
    std::string text = "version 1.00\r\n";
    text += "title\tcid\tdescription\twireless_desc\tprice\r\n";
    text += CoreFromUtf8("宝贝名称\t宝贝类目\t宝贝描述\t无线详情\t价格\r\n");
    text += Row(CoreFromUtf8("纯棉短袖T恤 夏季新款"),
                "<p>" + CoreFromUtf8("纯棉面料，透气舒适。") + "</p><p><img src=\"" + base + "1.bmp\" /></p>" +
                    "<p><img src='" + base + "2.bmp'></p>\r\n<table background=\"" + base + "3.gif\"><tr><td>" +
                    CoreFromUtf8("尺码表") + "</td></tr></table>",
                "<wapDesc><img>" + base + "1.bmp</img><txt>" + CoreFromUtf8("夏季新款") + "</txt></wapDesc>");
    text += Row(CoreFromUtf8("牛仔裤 直筒 修身"),
                "<div style=\"background:url(" + base + "4.bmp)\">" + CoreFromUtf8("经典直筒") + "</div><img src=\"" +
                    base + "1.bmp\">",
                "<wapDesc><img>" + base + "4.bmp</img><img>" + base + "5.bmp</img></wapDesc>");
    text += Row(CoreFromUtf8("帆布鞋 百搭"), "<p>" + CoreFromUtf8("百搭款式") + "</p><IMG SRC=" + base + "6.bmp>", "");
    return text;
}

// The first data row of the package file as it is now, for showing.
std::string FirstRowOf(const std::string& packagePath) {
    FILE* file = OpenFileByPath(packagePath.c_str(), "rb");
    if (file == nullptr) return std::string();
    std::string bytes;
    char block[8192];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes.append(block, got);
    std::fclose(file);
    std::string text(bytes.size() * 2 + 1, '\0');
    size_t written = 0;
    if (ConvertCharsetLarge(PACKAGE_READ_CHARSET, CORE_CHARSET, bytes.data(), bytes.size(), &text[0], text.size(),
                            &written) < 0) {
        return std::string();
    }
    text.resize(written);
    size_t header = text.find(CoreFromUtf8("宝贝名称"));
    if (header == std::string::npos) return std::string();
    size_t rowStart = text.find('\n', header);
    if (rowStart == std::string::npos) return std::string();
    size_t rowEnd = text.find("\t99.00\r\n", rowStart + 1);
    return text.substr(rowStart + 1, rowEnd == std::string::npos ? std::string::npos : rowEnd - rowStart - 1);
}

// 1 for a name a run gives an image: "[m-]Y-M-D-h-m-n.ext".
bool IsRunImageName(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    const std::string stem = name.compare(0, 2, "m-") == 0 ? name.substr(2, dot - 2) : name.substr(0, dot);
    const std::string extension = name.substr(dot + 1);
    const bool image =
        extension == "jpg" || extension == "jpeg" || extension == "png" || extension == "gif" || extension == "bmp";
    return image && !stem.empty() && stem.find_first_not_of("0123456789-") == std::string::npos &&
           std::count(stem.begin(), stem.end(), '-') == 5;
}

// Removes the images an earlier demo left in `images` (the core's form), so
// every demo starts from the same empty folder; other files stay.
void RemoveEarlierImages(const std::string& images) {
    DIR* folder = opendir(Utf8FromCore(images).c_str());
    if (folder == nullptr) return;
    while (const dirent* entry = readdir(folder)) {
        if (IsRunImageName(entry->d_name)) RemoveFileByPath((images + PATH_SEPARATOR_TEXT + entry->d_name).c_str());
    }
    closedir(folder);
}

}  // namespace

int DemoCommand(const ParsedArguments& arguments) {
    if (arguments.positionals.size() > 1) {
        RefuseArguments(*FindCommand("demo"), Translated(N_("too many arguments")));
        return EXIT_USAGE;
    }
    std::string folderArgument = arguments.positionals.empty() ? DEFAULT_DEMO_FOLDER : arguments.positionals[0];
    StartCore();
    std::string folder = AbsoluteCorePath(folderArgument);
    if (folder.empty()) {
        std::fprintf(stderr, Translated(N_("karvelo demo: %s cannot be used as the demo folder\n")),
                     folderArgument.c_str());
        return EXIT_REFUSED;
    }
    std::string images = folder + PATH_SEPARATOR_TEXT + DEMO_IMAGE_FOLDER;
    // The folder and the folders above it, as `mkdir -p` makes them.
    if (!MakeFolderWithParents(images.c_str())) {
        std::fprintf(stderr, Translated(N_("karvelo demo: cannot create %s/%s: %s\n")), folderArgument.c_str(),
                     DEMO_IMAGE_FOLDER, std::strerror(errno));
        return EXIT_REFUSED;
    }
    RemoveEarlierImages(images);

    static LoopbackImageServer server(DemoImage);
    if (!server.Start()) {
        std::fputs(Translated(N_("karvelo demo: cannot start the image server on 127.0.0.1\n")), stderr);
        return EXIT_REFUSED;
    }
    std::string packagePath = folder + PATH_SEPARATOR_TEXT + DEMO_PACKAGE_NAME;
    const char* failure = nullptr;
    const int written =
        WritePackage(packagePath.c_str(), DemoPackageText(server.port()).c_str(), nullptr, nullptr, &failure);
    if (written != PACKAGE_WRITTEN) {
        if (written == 0) ShowMessage(failure, CAPTION_ERROR, MESSAGE_OK | MESSAGE_ICON_ERROR);
        return EXIT_REFUSED;
    }

    PrintOut(TranslatedCore(N_("Karvelo demo\n")));
    PrintOut(Said(N_("  image server: http://127.0.0.1:%d/ inside this process (no network needed; its images count as "
                     "outside-album images)\n"),
                  server.port()));
    PrintOut(Said(N_("  package:      %s\n"), packagePath.c_str()));
    PrintOut(Said(N_("  destination:  %s\n\n"), images.c_str()));

    RunOptions options = {};
    options.relocateImageSpace = 1;  // also switches the mobile-detail phase on
    options.relocateOutsideAlbums = 1;
    std::snprintf(options.destination, sizeof options.destination, "%s", images.c_str());
    int code = LoadAndRelocate(packagePath, options);

    PrintOut(Said(N_("\nImages served: %d\n"), server.Served()));
    PrintOut(TranslatedCore(N_("First item of the rewritten package:\n")) + FirstRowOf(packagePath) + "\n");
    const std::string state = coreState.stateFolder;
    PrintOut(Said(N_("Backups of the package are in %s, the log is %s\n"),
                  (state + PATH_SEPARATOR_TEXT + "bak").c_str(), (state + PATH_SEPARATOR_TEXT + "app.log").c_str()));
    return code;
}
