#include "support/package_generator.h"

#include <cstdint>
#include <cstdio>

#include "support/gbk.h"
#include "support/temp_dir.h"
#include "util/charset.h"

namespace {

const char TAB = '\t';
const size_t IMAGES_PER_ITEM = 10;
const char ROW_END[] = "\r\n";

struct Column {
    const char* english;
    const char* chinese;  // UTF-8; converted once
};

// The header names in the listing tool's order (a subset of its columns).
const Column TITLE = {"title", "宝贝名称"};
const Column CATEGORY = {"cid", "宝贝类目"};
const Column SHOP_CATEGORY = {"seller_cids", "店铺类目"};
const Column PRICE = {"price", "宝贝价格"};
const Column QUANTITY = {"num", "宝贝数量"};
const Column DESCRIPTION = {"description", "宝贝描述"};
const Column PICTURE = {"picture", "新图片"};
const Column MOBILE = {"wireless_desc", "无线详情"};
const Column SELLING = {"subtitle", "宝贝卖点"};
const Column OUTER_ID = {"outer_id", "商家编码"};

std::vector<const Column*> Columns(const PackageLayout& layout) {
    std::vector<const Column*> columns = {&TITLE, &CATEGORY, &SHOP_CATEGORY, &PRICE, &QUANTITY, &DESCRIPTION, &PICTURE};
    if (layout.mobileColumn) columns.push_back(&MOBILE);
    if (layout.sellingColumn) columns.push_back(&SELLING);
    if (layout.trailingPlainColumn) columns.push_back(&OUTER_ID);
    return columns;
}

std::string FieldOf(const Column* column, const GeneratedItem& item, size_t row) {
    if (column == &TITLE) return QuoteField(item.title);
    if (column == &CATEGORY) return item.category;
    if (column == &SHOP_CATEGORY) return QuoteField(";1234567;");
    if (column == &PRICE) return item.price;
    if (column == &QUANTITY) return "100";
    if (column == &DESCRIPTION) return QuoteField(item.description);
    if (column == &PICTURE) return "a1b2c3d4e5f6:1:0:|;";
    if (column == &MOBILE) return QuoteField(item.mobileDetail);
    if (column == &SELLING) return QuoteField(item.sellingPoints);
    return "K" + std::to_string(1000 + row);
}

uint32_t Mix(uint32_t value) {
    value ^= value >> 16;
    value *= 0x7feb352dU;
    value ^= value >> 15;
    value *= 0x846ca68bU;
    value ^= value >> 16;
    return value;
}

const std::vector<std::string>& Sentences() {
    static const std::vector<std::string> sentences = {
        Gbk("本店所有商品均为实物拍摄，颜色以实物为准，因显示器不同可能略有色差。"),
        Gbk("纯棉面料，柔软透气，亲肤舒适，四季皆宜；做工精细，走线整齐。"),
        Gbk("尺码说明：S码适合身高155-160厘米，M码适合160-165厘米，L码适合165-170厘米。"),
        Gbk("洗涤建议：冷水手洗，不可漂白，反面晾干，避免暴晒。"),
        Gbk("售后保障：七天无理由退换货，质量问题包来回运费，请放心购买！"),
    };
    return sentences;
}

}  // namespace

GeneratedItem MakeItem(const std::string& title, const std::string& description, const std::string& mobileDetail,
                       const std::string& sellingPoints) {
    GeneratedItem item;
    item.title = title;
    item.description = description;
    item.mobileDetail = mobileDetail;
    item.sellingPoints = sellingPoints;
    return item;
}

std::string QuoteField(const std::string& gbk) {
    std::string quoted = "\"";
    for (char c : gbk) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string BuildPackageText(const PackageLayout& layout) {
    std::vector<const Column*> columns = Columns(layout);
    std::string text;
    if (!layout.preamble.empty()) text += layout.preamble + ROW_END;
    if (layout.englishHeader) {
        for (size_t i = 0; i < columns.size(); ++i) text += (i ? "\t" : "") + std::string(columns[i]->english);
        text += ROW_END;
    }
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i) text += TAB;
        text += Gbk(columns[i]->chinese);
    }
    text += ROW_END;
    for (size_t row = 0; row < layout.items.size(); ++row) {
        for (size_t i = 0; i < columns.size(); ++i) {
            if (i) text += TAB;
            text += FieldOf(columns[i], layout.items[row], row);
        }
        text += ROW_END;
    }
    return text;
}

std::string EncodePackageText(const std::string& gbkText) { return std::string("\xFF\xFE", 2) + Ucs2le(gbkText); }

std::string BuildPackageBytes(const PackageLayout& layout) { return EncodePackageText(BuildPackageText(layout)); }

bool WritePackageFile(const std::string& path, const PackageLayout& layout) {
    return WriteWholeFile(path, BuildPackageBytes(layout));
}

bool WriteImagePackage(const std::string& path, const std::vector<std::string>& urls) {
    PackageLayout layout;
    for (size_t i = 0; i < urls.size(); i += IMAGES_PER_ITEM) {
        std::string description;
        for (size_t j = i; j < urls.size() && j < i + IMAGES_PER_ITEM; ++j) {
            description += "<img src=\"" + urls[j] + "\">";
        }
        layout.items.push_back(MakeItem("item " + std::to_string(i), description));
    }
    return WritePackageFile(path, layout);
}

std::string DecodePackageBytes(const std::string& fileBytes) {
    size_t start = 0;
    if (fileBytes.size() >= 2 && static_cast<unsigned char>(fileBytes[0]) == 0xFF &&
        static_cast<unsigned char>(fileBytes[1]) == 0xFE) {
        start = 2;
    }
    std::string text(fileBytes.size() - start + 1, '\0');
    size_t written = 0;
    if (ConvertCharsetLarge(ENCODING_UCS2LE, ENCODING_GBK, fileBytes.data() + start, fileBytes.size() - start, &text[0],
                            text.size(), &written) == -1) {
        return std::string();
    }
    text.resize(written);
    return text;
}

std::string DecodePackageFile(const std::string& path) { return DecodePackageBytes(ReadWholeFile(path)); }

std::string GeneratedImageUrl(const std::string& host, unsigned seed, int index) {
    uint32_t seller = 100000000U + Mix(seed * 7919U + 17U) % 900000000U;
    uint32_t a = Mix(seed * 65537U + static_cast<uint32_t>(index) * 2654435761U);
    uint32_t b = Mix(a ^ 0x5bd1e995U);
    char name[96];
    std::snprintf(name, sizeof name, "/imgextra/i%u/%u/TB2%08x%08x_!!%u.jpg", 1 + (a % 4), seller, a, b, seller);
    return "https://" + host + name;
}

std::string RealisticDescription(int imageCount, const std::string& host, size_t targetBytes, unsigned seed,
                                 std::vector<std::string>* urls) {
    const std::vector<std::string>& sentences = Sentences();
    std::vector<std::string> images;
    for (int i = 0; i < imageCount; ++i) images.push_back(GeneratedImageUrl(host, seed, i));
    // The last image is a style background (found after every <img>); the
    // rest are <img> tags spread evenly through the text.
    const int tagged = imageCount > 0 ? imageCount - 1 : 0;
    const size_t slots = static_cast<size_t>(tagged) + 1;
    const size_t stride = targetBytes / slots + 1;

    std::string html = "<p style=\"margin:0;padding:0;\"><span style=\"font-size:14.0px;color:#333333;\">";
    if (imageCount > 0) {
        html += "<div style=\"background:url(" + images.back() + ") no-repeat;height:120px;\">&nbsp;</div>";
    }
    int placed = 0;
    size_t nextImageAt = stride;
    size_t sentence = seed;
    while (html.size() < targetBytes || placed < tagged) {
        if (placed < tagged && html.size() >= nextImageAt) {
            html += "<p align=\"center\"><img src=\"" + images[static_cast<size_t>(placed)] +
                    "\" width=\"750\" class=\"desc-img\" alt=\"\"></p>\r\n";
            ++placed;
            nextImageAt += stride;
            continue;
        }
        switch (sentence % 4) {
            case 0: html += "<p><strong>" + sentences[sentence % sentences.size()] + "</strong></p>"; break;
            case 1:
                html += "<table width=\"750\" border=\"0\"><tr><td>\t" + sentences[sentence % sentences.size()] +
                        "</td></tr></table>";
                break;
            case 2:
                html += "<p style=\"text-align:center;\"><a href=\"https://shop" + std::to_string(seed % 97) +
                        ".taobao.com/\" target=\"_blank\">" + sentences[sentence % sentences.size()] + "</a></p>";
                break;
            default:
                html += "<p><span style=\"color:#ff0000;\">" + sentences[sentence % sentences.size()] + "</span></p>";
                break;
        }
        ++sentence;
    }
    html += "</span></p>";
    if (urls != nullptr) {
        urls->assign(images.begin(), images.begin() + tagged);
        if (imageCount > 0) urls->push_back(images.back());
    }
    return html;
}

std::string RealisticMobileDetail(int imageCount, const std::string& host, unsigned seed) {
    const std::vector<std::string>& sentences = Sentences();
    std::string markup = "<wapDesc>";
    for (int i = 0; i < imageCount; ++i) {
        markup += "<txt>" + sentences[(seed + static_cast<unsigned>(i)) % sentences.size()] + "</txt>";
        markup += "<img>" + GeneratedImageUrl(host, seed + 1000000U, i) + "</img>";
    }
    markup += "</wapDesc>";
    return markup;
}

PackageLayout RealisticPackage(int itemCount, int imagesPerItem, size_t descriptionBytes, const std::string& host) {
    PackageLayout layout;
    const std::string titleText = Gbk("夏季新款纯棉短袖T恤男士宽松大码半袖潮流 ");
    for (int i = 0; i < itemCount; ++i) {
        GeneratedItem item;
        item.title = titleText + std::to_string(i + 1);
        item.description = RealisticDescription(imagesPerItem, host, descriptionBytes, static_cast<unsigned>(i));
        item.mobileDetail = RealisticMobileDetail(imagesPerItem / 2, host, static_cast<unsigned>(i));
        item.sellingPoints = Gbk("纯棉 \"透气\" 舒适");
        layout.items.push_back(item);
    }
    return layout;
}
