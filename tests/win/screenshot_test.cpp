// A picture of page 1 as a person sees it: the program in a Wine virtual
// desktop (so the window has its caption without a window manager), taken
// with ImageMagick's `import` and kept in the build folder
// (screenshots\page1.png) for people to look at.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "win/gui_driver.h"

namespace {

const int DESKTOP_WIDTH = 1024;
const int DESKTOP_HEIGHT = 768;

int Brightness(COLORREF colour) { return (GetRValue(colour) + GetGValue(colour) + GetBValue(colour)) / 3; }

// What a painted page 1 must show, in client coordinates of the window
// whose client area starts at `origin` in the picture.
struct PageOneLook {
    int colours = 0;        // distinct colours in the whole picture
    int whiteInBand = 0;    // white pixels in the header band
    int darkInHeading = 0;  // text pixels of the heading
    int blueInLinks = 0;    // text pixels of the link labels
    int bandPixels = 0;
};

PageOneLook Look(const Picture& picture, POINT origin) {
    PageOneLook look;
    std::set<COLORREF> colours;
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) colours.insert(picture.At(x, y));
    }
    look.colours = static_cast<int>(colours.size());
    auto inside = [&](int x, int y) {
        return origin.x + x >= 0 && origin.y + y >= 0 && origin.x + x < picture.width && origin.y + y < picture.height;
    };
    for (int y = 0; y < 71; ++y) {
        for (int x = 0; x < 680; ++x) {
            if (!inside(x, y)) continue;
            ++look.bandPixels;
            if (picture.At(origin.x + x, origin.y + y) == RGB(255, 255, 255)) ++look.whiteInBand;
        }
    }
    for (int y = 13; y < 45; ++y) {
        for (int x = 21; x < 521; ++x) {
            if (inside(x, y) && Brightness(picture.At(origin.x + x, origin.y + y)) < 96) ++look.darkInHeading;
        }
    }
    for (int y = 504; y < 521; ++y) {
        for (int x = 13; x < 217; ++x) {
            if (!inside(x, y)) continue;
            COLORREF c = picture.At(origin.x + x, origin.y + y);
            if (GetBValue(c) > 160 && GetRValue(c) < 120 && GetGValue(c) < 120) ++look.blueInLinks;
        }
    }
    return look;
}

bool LooksPainted(const PageOneLook& look) {
    return look.colours > 16 && look.bandPixels > 0 && look.whiteInBand > look.bandPixels / 2 &&
           look.darkInHeading > 200 && look.blueInLinks > 50;
}

// Takes pictures until one shows page 1 painted in the window's client area.
bool PaintedOnScreen(HWND window, const std::string& png, PageOneLook* look, Picture* picture) {
    // The window's client area on the screen (a virtual desktop fills it
    // from its top-left corner).
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    // Wine copies a window's pixels to the X server a moment after it paints
    // them: take pictures until one shows the painted page.
    return WaitUntil([&] {
        if (!TakeScreenshot(png, picture)) return false;
        *look = Look(*picture, origin);
        return LooksPainted(*look);
    });
}

std::string Describe(const PageOneLook& look) {
    return "colours " + std::to_string(look.colours) + ", white in band " + std::to_string(look.whiteInBand) + " of " +
           std::to_string(look.bandPixels) + ", heading text " + std::to_string(look.darkInHeading) + ", link text " +
           std::to_string(look.blueInLinks);
}

// Started minimized (as a shortcut set to "minimized" starts it), then
// restored: the background is painted at the restored window's size.  On
// the X screen itself (no virtual desktop, no caption), before any virtual
// desktop of this prefix.
TEST(Screenshot, RestoredFromMinimizedIsPainted) {
    std::string folder = FreshWorkFolder("minimized");
    WriteFileOfSize(folder + "\\no_shortcut.txt", 0);
    std::string shots = DriverFolder() + "\\screenshots";
    CreateDirectoryA(shots.c_str(), nullptr);

    KarveloProcess karvelo;
    ASSERT_TRUE(karvelo.Start(InstallKarvelo(folder), folder, SW_SHOWMINIMIZED));
    HWND window = karvelo.WaitForMainWindow();
    ASSERT_NE(nullptr, window);
    EXPECT_TRUE(IsIconic(window));
    PostMessageA(window, WM_SYSCOMMAND, SC_RESTORE, 0);
    ASSERT_TRUE(WaitUntil([&] { return !IsIconic(window); }));
    ASSERT_TRUE(karvelo.Settle(window));

    Picture picture;
    PageOneLook look;
    EXPECT_TRUE(PaintedOnScreen(window, shots + "\\restored.png", &look, &picture)) << Describe(look);

    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo.WaitForExit());
}

TEST(Screenshot, PageOneInAVirtualDesktopIsPainted) {
    std::string folder = FreshWorkFolder("screenshot");
    WriteFileOfSize(folder + "\\no_shortcut.txt", 0);
    std::string shots = DriverFolder() + "\\screenshots";
    CreateDirectoryA(shots.c_str(), nullptr);
    std::string png = shots + "\\page1.png";

    KarveloProcess karvelo;
    ASSERT_TRUE(karvelo.StartInVirtualDesktop(InstallKarvelo(folder), "KarveloShot", DESKTOP_WIDTH, DESKTOP_HEIGHT));
    HWND window = karvelo.WaitForMainWindow();
    ASSERT_NE(nullptr, window);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    ASSERT_TRUE(karvelo.Settle(window));

    Picture picture;
    PageOneLook look;
    EXPECT_TRUE(PaintedOnScreen(window, png, &look, &picture)) << Describe(look);
    EXPECT_LE(DESKTOP_WIDTH, picture.width);
    EXPECT_LE(DESKTOP_HEIGHT, picture.height);

    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, karvelo.WaitForExit());
}

}  // namespace
