// Builds data packages in the listing tool's export form, for tests and
// benchmarks: the mark FF FE, a "version 1.00" preamble line, an English
// header line, the Chinese header line with 宝贝名称 first, rows ending in
// CR LF, free-text fields in double quotes with inner quotes doubled, all in
// UCS-2 little-endian.  Everything is given and returned as GBK bytes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct GeneratedItem {
    std::string title;                  // 宝贝名称, quoted on writing
    std::string description;            // 宝贝描述 HTML as the seller wrote it (TAB, CR LF, quotes allowed)
    std::string mobileDetail;           // 无线详情 markup, e.g. "<wapDesc><img>URL</img></wapDesc>"
    std::string sellingPoints;          // 宝贝卖点
    std::string category = "50012345";  // 宝贝类目, plain
    std::string price = "99.00";        // 宝贝价格, plain
};

// An item with the fields a test varies; the rest keep their defaults.
GeneratedItem MakeItem(const std::string& title, const std::string& description, const std::string& mobileDetail = "",
                       const std::string& sellingPoints = "");

struct PackageLayout {
    std::vector<GeneratedItem> items;
    bool mobileColumn = true;   // 无线详情
    bool sellingColumn = true;  // 宝贝卖点
    // A plain 商家编码 column after the quoted ones; without it the rows end
    // with a quoted field.
    bool trailingPlainColumn = true;
    std::string preamble = "version 1.00";  // the first line; empty: none
    bool englishHeader = true;
};

// The field as the package stores it: in double quotes, inner quotes doubled.
std::string QuoteField(const std::string& gbk);

// The package as GBK text (no mark), and as the file's bytes.
std::string BuildPackageText(const PackageLayout& layout);
std::string BuildPackageBytes(const PackageLayout& layout);
// FF FE followed by the UCS-2LE form of any GBK text.
std::string EncodePackageText(const std::string& gbkText);
// Writes BuildPackageBytes(layout) to a native path; false on failure.
bool WritePackageFile(const std::string& path, const PackageLayout& layout);
// A package whose items show `urls` in <img> tags, ten to an item (the
// downloads' benchmarks); false on failure.
bool WriteImagePackage(const std::string& path, const std::vector<std::string>& urls);

// The GBK text of a package file's bytes (mark FF FE or none, UCS-2LE), for
// comparing rewritten packages; the file read by native path.
std::string DecodePackageBytes(const std::string& fileBytes);
std::string DecodePackageFile(const std::string& path);

// The distinct image URL number `index` of item `seed` on `host`, in the
// image space's usual form ("https://HOST/imgextra/i1/.../TB...jpg").
std::string GeneratedImageUrl(const std::string& host, unsigned seed, int index);
// A realistic description of about `targetBytes` GBK bytes: Chinese text,
// tables and styled paragraphs around `imageCount` distinct images from
// GeneratedImageUrl(host, seed, 0 .. imageCount-1), the last of them as a
// style background.  Returns the URLs in the order the extraction lists them
// when `urls` is given.
std::string RealisticDescription(int imageCount, const std::string& host, size_t targetBytes, unsigned seed,
                                 std::vector<std::string>* urls = nullptr);
// A mobile detail with `imageCount` images (and text elements between).
std::string RealisticMobileDetail(int imageCount, const std::string& host, unsigned seed);
// `itemCount` items with realistic descriptions and mobile details.
PackageLayout RealisticPackage(int itemCount, int imagesPerItem, size_t descriptionBytes, const std::string& host);
