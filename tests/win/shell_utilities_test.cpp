// The window and shell utilities, in the test's own process.
#include <gtest/gtest.h>

#include "ui/shell_utilities.h"
#include "ui/startup.h"
#include "win/gui_driver.h"

#include <shlobj.h>

namespace {

TEST(ShellUtilities, DefaultFontKeepsItsPixelHeightAboveNinetySixDpi) {
    EXPECT_EQ(-12, ScaleFontHeightForDpi(-12, 96));
    EXPECT_EQ(-12, ScaleFontHeightForDpi(-12, 72));
    // At 120 DPI the scale is just under 1.25.
    EXPECT_EQ(-12, ScaleFontHeightForDpi(-15, 120));
    EXPECT_EQ(-10, ScaleFontHeightForDpi(-13, 120));
    EXPECT_EQ(-10, ScaleFontHeightForDpi(-15, 144));
}

TEST(ShellUtilities, ArchiveFolderNeedsADollarAndTheExactTempFolder) {
    EXPECT_TRUE(IsArchiveTempFolder("C:\\Users\\a\\AppData\\Local\\Temp\\Rar$EXa0.123"));
    EXPECT_TRUE(IsArchiveTempFolder("C:\\Temp\\$x"));
    EXPECT_FALSE(IsArchiveTempFolder("C:\\Users\\a\\AppData\\Local\\Temp\\Rar"));
    EXPECT_FALSE(IsArchiveTempFolder("C:\\Users\\a\\AppData\\Local\\temp\\Rar$EX"));
    EXPECT_FALSE(IsArchiveTempFolder("C:\\Tools\\Rar$EX"));
    // "\Temp" at the end is not a folder in the path.
    EXPECT_FALSE(IsArchiveTempFolder("C:\\$x\\Temp"));
}

TEST(ShellUtilities, SpecialFolderOrUntouchedBuffer) {
    char desktop[MAX_PATH] = {};
    ASSERT_TRUE(GetSpecialFolderPath(CSIDL_DESKTOP, desktop));
    EXPECT_STRCASEEQ(DesktopFolder().c_str(), desktop);

    char buffer[MAX_PATH] = "unchanged";
    EXPECT_FALSE(GetSpecialFolderPath(0x7F, buffer));
    EXPECT_STREQ("unchanged", buffer);
}

TEST(ShellUtilities, ShortcutRefusesMissingArgumentsAndWritesALink) {
    std::string folder = FreshWorkFolder("create-shortcut");
    std::string link = folder + "\\test.lnk";
    std::string target = folder + "\\target.exe";
    const char* t = target.c_str();
    const char* l = link.c_str();
    CoInitialize(nullptr);
    EXPECT_EQ(E_INVALIDARG, CreateShortcut(nullptr, "", l, "", SW_SHOW, "", "", 0));
    EXPECT_EQ(E_INVALIDARG, CreateShortcut("", "", l, "", SW_SHOW, "", "", 0));
    EXPECT_EQ(E_INVALIDARG, CreateShortcut(t, nullptr, l, "", SW_SHOW, "", "", 0));
    EXPECT_EQ(E_INVALIDARG, CreateShortcut(t, "", "", "", SW_SHOW, "", "", 0));
    EXPECT_EQ(E_INVALIDARG, CreateShortcut(t, "", l, nullptr, SW_SHOW, "", "", 0));
    EXPECT_EQ(E_INVALIDARG, CreateShortcut(t, "", l, "", -1, "", "", 0));
    EXPECT_EQ(E_INVALIDARG, CreateShortcut(t, "", l, "", SW_SHOW, nullptr, "", 0));
    EXPECT_EQ(E_INVALIDARG, CreateShortcut(t, "", l, "", SW_SHOW, "", nullptr, 0));
    EXPECT_EQ(E_INVALIDARG, CreateShortcut(t, "", l, "", SW_SHOW, "", "", -1));
    EXPECT_FALSE(FileExistsAt(link));

    // Empty texts where emptiness is allowed.
    EXPECT_EQ(S_OK, CreateShortcut(t, "--x", l, "一个说明", 0, "", "", 0));
    EXPECT_TRUE(FileExistsAt(link));
    CoUninitialize();
}

TEST(ShellUtilities, FontsFromTheStockGuiFont) {
    HWND first = CreateWindowExA(0, "static", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    HWND second = CreateWindowExA(0, "static", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, first);
    ApplyDefaultFont(first);
    ApplyDefaultFont(second);
    HFONT shared = reinterpret_cast<HFONT>(SendMessageA(first, WM_GETFONT, 0, 0));
    EXPECT_EQ(shared, reinterpret_cast<HFONT>(SendMessageA(second, WM_GETFONT, 0, 0)));

    SetControlFont(second, "宋体", 20, 700, 1, 1);
    HFONT made = reinterpret_cast<HFONT>(SendMessageA(second, WM_GETFONT, 0, 0));
    EXPECT_NE(shared, made);
    LOGFONTW stock, font;
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof stock, &stock);
    ASSERT_EQ(static_cast<int>(sizeof font), GetObjectW(made, sizeof font, &font));
    EXPECT_EQ("宋体", CoreText(font.lfFaceName, wcslen(font.lfFaceName)));
    EXPECT_EQ(20, font.lfHeight);
    EXPECT_EQ(700, font.lfWeight);
    EXPECT_EQ(1, font.lfUnderline);
    EXPECT_EQ(1, font.lfItalic);
    EXPECT_EQ(stock.lfCharSet, font.lfCharSet);
    DestroyWindow(first);
    DestroyWindow(second);
}

}  // namespace
