// The failure text of a finished item and the progress bar's scale, as the
// window builds them (no window needed).
//
// Literals are GBK (this target is compiled with -fexec-charset=GBK).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/failure_reason.h"
#include "package/item_record.h"
#include "relocate/run_view.h"
#include "ui/application_state.h"
#include "ui/progress_view.h"
#include "ui/window_run_view.h"
#include "base/strings.h"
#include "base/vector.h"

namespace {

const std::string DESKTOP = "[宝贝描述]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：";
const std::string MOBILE = "[无线详情]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：";

Vector* Urls(int count, const std::string& prefix) {
    Vector* urls = NewVector(16, 16);
    for (int i = 0; i < count; ++i) VectorPush(urls, CopyString((prefix + std::to_string(i) + ".jpg").c_str()));
    return urls;
}

struct Record {
    ItemRecord item;
    Record(Vector* desktop, Vector* mobile) {
        std::memset(&item, 0, sizeof item);
        item.state = ITEM_STATE_DONE;
        UrlsOf(&item)->failedDesktop = desktop;
        UrlsOf(&item)->failedMobile = mobile;
    }
    ~Record() { FreeItemRecord(&item); }
    std::string Text() const {
        static char text[FAILURE_TEXT_BYTES];
        BuildFailureText(&item, text, sizeof text);
        return text;
    }
    std::string Tip(size_t size = INFOTIPSIZE) const {
        static char text[FAILURE_TEXT_BYTES];
        BuildInfoTipText(&item, text, size);
        return text;
    }
};

// How an image ended, told to the window's run view as the run tells it.
void Finish(const std::string& url, ImageOutcome outcome, FailureKind kind = FAILURE_NONE, int status = 0) {
    FailureReason reason;
    SetFailureReason(&reason, kind, "127.0.0.1:9", status);
    RunView* view = WindowRunView();
    view->imageFinished(view->context, url.c_str(), 0, outcome, "detail",
                        outcome == IMAGE_RELOCATED ? nullptr : &reason);
}

std::string Sentence(FailureKind kind, int status = 0) {
    FailureReason reason;
    SetFailureReason(&reason, kind, "127.0.0.1:9", status);
    char sentence[FAILURE_SENTENCE_BYTES];
    FormatFailureSentence(&reason, /*english=*/false, sentence, sizeof sentence);
    return sentence;
}

TEST(FailureText, HeadingsAddressesAndTheBlankLineBetween) {
    Record both(Urls(2, "http://a.example/d"), Urls(1, "http://a.example/m"));
    EXPECT_EQ(DESKTOP + "\r\nhttp://a.example/d0.jpg\r\nhttp://a.example/d1.jpg\r\n\r\n" + MOBILE +
                  "\r\nhttp://a.example/m0.jpg",
              both.Text());

    Record mobileOnly(nullptr, Urls(1, "http://a.example/m"));
    EXPECT_EQ(MOBILE + "\r\nhttp://a.example/m0.jpg", mobileOnly.Text());

    // A list that exists but holds nothing still shows its heading.
    Record emptyDesktop(Urls(0, ""), Urls(1, "http://a.example/m"));
    EXPECT_EQ(DESKTOP + "\r\n\r\n" + MOBILE + "\r\nhttp://a.example/m0.jpg", emptyDesktop.Text());
}

TEST(FailureText, TooManyAddressesAreCutAndCounted) {
    const std::string prefix = "http://img.example.com/imgextra/i1/2200000000000/" + std::string(40, 'x');
    Record many(Urls(300, prefix), Urls(50, "http://a.example/m"));
    std::string text = many.Text();
    EXPECT_LT(text.size(), FAILURE_TEXT_BYTES);
    EXPECT_EQ(0u, text.find(DESKTOP));

    // The addresses shown are the first of the desktop list, in order; the
    // mobile part is left out whole rather than shown without addresses.
    int shown = 0;
    while (text.find(prefix + std::to_string(shown) + ".jpg\r\n") != std::string::npos) ++shown;
    EXPECT_GT(shown, 50);
    EXPECT_EQ(std::string::npos, text.find(MOBILE));
    std::string last = "(另有" + std::to_string(350 - shown) + "个失败的图片地址未列出)";
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(last, text.substr(text.size() - last.size()));
}

// The tip lists each failed address, desktop then mobile, with the sentence
// of its last failure; only failed images leave one, and the next run
// starts without any.
TEST(InfoTip, EachFailedAddressWithItsSentence) {
    ForgetFailureSentences();
    Finish("http://a.example/d0.jpg", IMAGE_FAILED, FAILURE_TIMED_OUT);
    Finish("http://a.example/d0.jpg", IMAGE_FAILED, FAILURE_CONNECTION_REFUSED);
    Finish("http://a.example/d1.jpg", IMAGE_FAILED, FAILURE_HTTP_STATUS, 404);
    Finish("http://a.example/m0.jpg", IMAGE_FAILED, FAILURE_OTHER);
    Finish("http://a.example/ok.jpg", IMAGE_RELOCATED);
    Finish("http://a.example/fatal.jpg", IMAGE_FATAL, FAILURE_FILE_NOT_WRITABLE);
    char sentence[FAILURE_SENTENCE_BYTES];
    EXPECT_FALSE(CopyFailureSentence("http://a.example/ok.jpg", sentence, sizeof sentence));
    EXPECT_FALSE(CopyFailureSentence("http://a.example/fatal.jpg", sentence, sizeof sentence));
    EXPECT_EQ("", std::string(sentence));

    Record both(Urls(2, "http://a.example/d"), Urls(1, "http://a.example/m"));
    EXPECT_EQ("http://a.example/d0.jpg\r\n  " + Sentence(FAILURE_CONNECTION_REFUSED) +
                  "\r\nhttp://a.example/d1.jpg\r\n  " + Sentence(FAILURE_HTTP_STATUS, 404) +
                  "\r\nhttp://a.example/m0.jpg\r\n  " + Sentence(FAILURE_OTHER),
              both.Tip());

    ForgetFailureSentences();
    EXPECT_FALSE(CopyFailureSentence("http://a.example/d0.jpg", sentence, sizeof sentence));
    EXPECT_EQ("http://a.example/d0.jpg\r\nhttp://a.example/d1.jpg\r\nhttp://a.example/m0.jpg", both.Tip());
}

// Cut to the tip's buffer, whole entries only, the rest counted.
TEST(InfoTip, TooManyAddressesAreCutAndCounted) {
    ForgetFailureSentences();
    const std::string prefix = "http://img.example.com/imgextra/i1/2200000000000/";
    Record many(Urls(300, prefix + "d"), Urls(50, prefix + "m"));
    for (int i = 0; i < 300; ++i) Finish(prefix + "d" + std::to_string(i) + ".jpg", IMAGE_FAILED, FAILURE_OTHER);
    for (int i = 0; i < 50; ++i) Finish(prefix + "m" + std::to_string(i) + ".jpg", IMAGE_FAILED, FAILURE_TIMED_OUT);
    for (size_t size : {static_cast<size_t>(INFOTIPSIZE), size_t{97}}) {
        std::string tip = many.Tip(size);
        EXPECT_LT(tip.size(), size);
        int shown = 0;
        while (tip.find(prefix + "d" + std::to_string(shown) + ".jpg\r\n  " + Sentence(FAILURE_OTHER) + "\r\n") !=
               std::string::npos) {
            ++shown;
        }
        std::string last = "(另有" + std::to_string(350 - shown) + "个失败的图片地址未列出)";
        ASSERT_GE(tip.size(), last.size()) << size;
        EXPECT_EQ(last, tip.substr(tip.size() - last.size())) << size;
        // The smallest buffer with room for the count holds nothing else.
        EXPECT_TRUE(size == 97 ? tip == last : shown > 5) << size << ": " << tip;
    }
    EXPECT_EQ("", many.Tip(96));
    ForgetFailureSentences();
}

TEST(ProgressScale, LargePackagesStillReachTheEnd) {
    EXPECT_EQ(120, ProgressRangeForItems(120));
    EXPECT_EQ(57, ProgressPositionForItems(57, 120));
    EXPECT_EQ(65535, ProgressRangeForItems(65535));
    EXPECT_EQ(65535, ProgressPositionForItems(65535, 65535));

    EXPECT_EQ(65535, ProgressRangeForItems(200000));
    EXPECT_EQ(0, ProgressPositionForItems(0, 200000));
    EXPECT_EQ(65535 / 2, ProgressPositionForItems(100000, 200000));
    EXPECT_EQ(65535, ProgressPositionForItems(200000, 200000));
}

}  // namespace

namespace {

SIZE PaintCacheSize() {
    SIZE size = {0, 0};
    if (appState.paintCache == nullptr) return size;
    BITMAP bitmap;
    if (GetObjectW(GetCurrentObject(appState.paintCache, OBJ_BITMAP), sizeof bitmap, &bitmap) == sizeof bitmap) {
        size.cx = bitmap.bmWidth;
        size.cy = bitmap.bmHeight;
    }
    return size;
}

// The painted background is never made from an empty client area (a window
// shown minimized at start) and follows the main window's client size.
TEST(PaintCache, FollowsTheMainWindowsClientSize) {
    HWND window = CreateWindowExW(0, L"static", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    appState.mainWindow = window;
    PaintBackground(window);
    EXPECT_EQ(nullptr, appState.paintCache);

    for (SIZE size : {SIZE{300, 200}, SIZE{420, 260}}) {
        SetWindowPos(window, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER);
        FollowClientSize(size.cx, size.cy);
        PaintBackground(window);
        SIZE made = PaintCacheSize();
        EXPECT_EQ(size.cx, made.cx);
        EXPECT_EQ(size.cy, made.cy);
    }
    // Minimizing keeps it for the restore.
    HDC kept = appState.paintCache;
    FollowClientSize(0, 0);
    EXPECT_EQ(kept, appState.paintCache);
    appState.mainWindow = nullptr;
    DestroyWindow(window);
}

}  // namespace
