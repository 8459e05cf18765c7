// The resources built into Karvelo.exe: the two icon groups, the version
// and the manifest, and nothing else (windows and texts are built in code).
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "win/gui_driver.h"

namespace {

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
struct IconGroupHeader {
    WORD reserved, type, count;
};
#pragma pack(pop)

class ResourcesTest : public ::testing::Test {
protected:
    void SetUp() override {
        program_ = DriverFolder() + "\\Karvelo.exe";
        module_ = LoadLibraryExA(program_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, module_);
    }
    void TearDown() override {
        if (module_ != nullptr) FreeLibrary(module_);
    }

    std::string Resource(LPCSTR type, LPCSTR name) {
        HRSRC found = FindResourceA(module_, name, type);
        if (found == nullptr) return std::string();
        const char* bytes = static_cast<const char*>(LockResource(LoadResource(module_, found)));
        return std::string(bytes, SizeofResource(module_, found));
    }

    std::vector<int> IconSizes(int group) {
        std::string bytes = Resource(RT_GROUP_ICON, MAKEINTRESOURCEA(group));
        std::vector<int> sizes;
        if (bytes.size() < sizeof(IconGroupHeader)) return sizes;
        const IconGroupHeader* header = reinterpret_cast<const IconGroupHeader*>(bytes.data());
        const IconGroupEntry* entries = reinterpret_cast<const IconGroupEntry*>(bytes.data() + sizeof *header);
        for (int i = 0; i < header->count; ++i) {
            EXPECT_EQ(entries[i].width, entries[i].height);
            EXPECT_EQ(32, entries[i].bitCount);
            sizes.push_back(entries[i].width);
        }
        return sizes;
    }

    std::string program_;
    HMODULE module_ = nullptr;
};

BOOL CALLBACK CollectType(HMODULE, LPSTR type, LONG_PTR parameter) {
    if (IS_INTRESOURCE(type))
        reinterpret_cast<std::set<UINT_PTR>*>(parameter)->insert(reinterpret_cast<UINT_PTR>(type));
    return TRUE;
}

TEST_F(ResourcesTest, TwoIconGroupsAVersionAndTheManifestOnly) {
    EXPECT_EQ((std::vector<int>{48, 32, 24, 16}), IconSizes(101));
    EXPECT_EQ((std::vector<int>{32, 16}), IconSizes(102));

    std::string manifest = Resource(RT_MANIFEST, MAKEINTRESOURCEA(1));
    EXPECT_NE(std::string::npos, manifest.find("name=\"Microsoft.Windows.Common-Controls\""));
    EXPECT_NE(std::string::npos, manifest.find("version=\"6.0.0.0\""));
#ifdef _WIN64
    const char* const processor = "processorArchitecture=\"amd64\"";
#else
    const char* const processor = "processorArchitecture=\"x86\"";
#endif
    // The program's own identity and the common controls it asks for.
    size_t first = manifest.find(processor);
    EXPECT_NE(std::string::npos, first);
    EXPECT_NE(std::string::npos, manifest.find(processor, first + 1));
    EXPECT_EQ(std::string::npos, manifest.find("@KARVELO"));
    // The user's own rights (no VirtualStore), and sharp text at high DPI.
    EXPECT_NE(std::string::npos, manifest.find("<requestedExecutionLevel level=\"asInvoker\""));
    EXPECT_NE(std::string::npos, manifest.find(">true</gdiScaling>"));

    std::set<UINT_PTR> types;
    EnumResourceTypesA(module_, CollectType, reinterpret_cast<LONG_PTR>(&types));
    std::set<UINT_PTR> expected = {reinterpret_cast<UINT_PTR>(RT_ICON), reinterpret_cast<UINT_PTR>(RT_GROUP_ICON),
                                   reinterpret_cast<UINT_PTR>(RT_VERSION), reinterpret_cast<UINT_PTR>(RT_MANIFEST)};
    EXPECT_EQ(expected, types);
}

// The image is built for the processor of the driver that tests it: PE32+
// for x86-64, where the whole address space is the program's; PE32 for
// i386, marked large-address-aware so it may use 4 GiB on 64-bit Windows.
TEST_F(ResourcesTest, BuiltForItsProcessor) {
    std::string image = ReadBytesAt(program_);
    ASSERT_GT(image.size(), sizeof(IMAGE_DOS_HEADER));
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    ASSERT_LT(static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS), image.size());
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image.data() + dos->e_lfanew);
#ifdef _WIN64
    EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, nt->FileHeader.Machine);
    EXPECT_EQ(IMAGE_NT_OPTIONAL_HDR64_MAGIC, nt->OptionalHeader.Magic);
#else
    EXPECT_EQ(IMAGE_FILE_MACHINE_I386, nt->FileHeader.Machine);
    EXPECT_EQ(IMAGE_NT_OPTIONAL_HDR32_MAGIC, nt->OptionalHeader.Magic);
    EXPECT_TRUE(nt->FileHeader.Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE);
#endif
}

TEST_F(ResourcesTest, VersionSevenPointThreeWithAChineseDescription) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(program_.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(program_.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(3, 7)), fixed->dwFileVersionMS);
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(3, 7)), fixed->dwProductVersionMS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);

    WORD* translation = nullptr;
    ASSERT_TRUE(
        VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x0804, translation[0]);  // Chinese (PRC)
    EXPECT_EQ(20936, translation[1]);

    auto text = [&](const char* name) {
        char* value = nullptr;
        UINT valueLength = 0;
        std::string path = std::string("\\StringFileInfo\\080451c8\\") + name;
        if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &valueLength))
            return std::string("<none>");
        return std::string(value);
    };
    EXPECT_EQ("Karvelo", text("ProductName"));
    EXPECT_EQ("7.3", text("FileVersion"));
    EXPECT_EQ("7.3", text("ProductVersion"));
    EXPECT_EQ("数据包的图片搬家以后，淘宝助理就可以把CSV文件里的宝贝发布到任意店铺。", text("FileDescription"));
}

}  // namespace
