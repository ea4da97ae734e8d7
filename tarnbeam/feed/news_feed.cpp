#include "tarnbeam/feed/news_feed.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <string>
#include <utility>
#include <vector>

#include "tarnbeam/app/config.h"
#include "tarnbeam/app/module_info.h"
#include "tarnbeam/app/win_handles.h"
#include "tarnbeam/feed/feed_date.h"
#include "tarnbeam/feed/feed_images.h"
#include "tarnbeam/feed/xml/lx_xml.h"
#include "tarnbeam/resources/resource.h"
#include "tarnbeam/retrieval/document_fetch.h"
#include "tarnbeam/retrieval/url_transfer.h"

std::deque<NewsItem> newsItems;
std::map<std::wstring, FeedImage> feedImages;

namespace {

// The feed must declare RSS 2.0: its version text times ten, truncated, must be exactly this.
const long kRssVersionTimesTen = 20;

// The "version" attribute of /rss as a decimal number (leading white space skipped, the number
// ends at the first character that does not belong to it, none gives 0), times ten, truncated.
// Only decimal digits, one point and an exponent count, so "0x14", "inf" or "nan" do not sneak
// a value in, and a value out of range cannot overflow the conversion to an integer.
bool IsRss20(const std::wstring &version) {
    size_t i = 0;
    while (i < version.size() && std::iswspace(version[i]))
        ++i;
    std::string number;
    if (i < version.size() && (version[i] == L'+' || version[i] == L'-'))
        number += static_cast<char>(version[i++]);
    bool digits = false, point = false;
    for (; i < version.size(); ++i) {
        const wchar_t c = version[i];
        if (c >= L'0' && c <= L'9') {
            number += static_cast<char>(c);
            digits = true;
        } else if (c == L'.' && !point) {
            number += '.';
            point = true;
        } else {
            break;
        }
    }
    if (!digits)
        return false; // reads as 0
    // An exponent only when digits follow it ("2e" is the number 2).
    if (i < version.size() && (version[i] == L'e' || version[i] == L'E')) {
        size_t j = i + 1;
        std::string exponent = "e";
        if (j < version.size() && (version[j] == L'+' || version[j] == L'-'))
            exponent += static_cast<char>(version[j++]);
        bool expDigits = false;
        for (; j < version.size() && version[j] >= L'0' && version[j] <= L'9'; ++j) {
            exponent += static_cast<char>(version[j]);
            expDigits = true;
        }
        if (expDigits)
            number += exponent;
    }
    const double tenfold = std::strtod(number.c_str(), nullptr) * 10.0;
    if (!std::isfinite(tenfold) || tenfold <= -1e9 || tenfold >= 1e9)
        return false;
    return static_cast<long>(tenfold) == kRssVersionTimesTen;
}

// Appends each received block to the open picture file; stops the transfer when a write fails.
int WriteChunkToFile(const BYTE *data, DWORD size, DWORD, void *context) {
    FILE *file = static_cast<FILE *>(context);
    return fwrite(data, 1, size, file) == size ? 1 : 0;
}

// Deletes the temporary picture file on every path.
class TemporaryFile {
  public:
    explicit TemporaryFile(const wchar_t *path) : m_path(path) {}
    ~TemporaryFile() { DeleteFileW(m_path.c_str()); }
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

  private:
    std::wstring m_path;
};

// Downloads domain + category + ".png" into an "rsi" temporary file and, when it decodes,
// enters its screen bitmap in the feed image table. Every failure is silent.
void FetchCategoryPicture(const std::wstring &domain, const std::wstring &category,
                          const std::wstring &userAgent) {
    const std::wstring url = domain + category + L".png";
    wchar_t folder[MAX_PATH] = {};
    const DWORD folderLength = GetTempPathW(MAX_PATH, folder);
    if (folderLength == 0 || folderLength >= MAX_PATH)
        return;
    wchar_t path[MAX_PATH] = {};
    if (GetTempFileNameW(folder, L"rsi", 0, path) == 0)
        return;
    TemporaryFile cleanup(path);

    {
        FileHandle file(_wfopen(path, L"wb"));
        if (!file || !UrlTransfer(userAgent.c_str(), url.c_str(), nullptr, nullptr, WriteChunkToFile,
                                  file.get(), RulesFor(Fetched::kPicture)))
            return;
    }

    GlobalMemory dib;
    if (loadPngAsDib(path, dib.put()) != 0)
        return;
    HBITMAP bitmap = createBitmapFromDib(dib.get());
    if (!bitmap)
        return;
    FeedImage &entry = feedImages[category];
    if (entry.bitmap)
        DeleteObject(entry.bitmap);
    entry.imageIndex = 0;
    entry.bitmap = bitmap;
}

// The product filter: items without a product are for everyone; an item for this product may
// narrow itself to one platform. Exact, case-sensitive comparison.
bool MeantForThisProduct(const NewsItem &item) {
    const std::wstring &product = g_config.ProductName;
    const std::wstring &platform = g_config.ProductPlatform;
    if (product.empty() || item.productName.empty())
        return true;
    if (product != item.productName)
        return false;
    if (platform.empty() || item.productPlatform.empty())
        return true;
    return platform == item.productPlatform;
}

// The text of a required child element; false when the element is absent.
bool RequiredText(lx_xml::KXMLNode &item, const wchar_t *path, std::wstring &text) {
    lx_xml::KXMLNode node = item.selectSingleNode(path);
    if (!node.isValid())
        return false;
    text = node.getText();
    return true;
}

// Sort key: the published instant as a 64-bit file time of its UTC value; 0 for an item
// whose date did not parse, so it sorts after every dated item.
struct Accepted {
    unsigned long long instant;
    NewsItem item;
};

unsigned long long InstantOf(const SYSTEMTIME &utc) {
    FILETIME ft;
    if (!SystemTimeToFileTime(&utc, &ft))
        return 0;
    return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// Reads one item node into `out`; false when a required element is missing or the product
// filter hides it. May fetch the category picture on the way (before later elements are seen).
bool ReadItem(lx_xml::KXMLNode &node, const std::wstring &userAgent, Accepted &out) {
    NewsItem &item = out.item;
    out.instant = 0;
    if (!RequiredText(node, L"./title", item.title) || !RequiredText(node, L"./link", item.link))
        return false;

    lx_xml::KXMLNode category = node.selectSingleNode(L"./category");
    if (!category.isValid())
        return false;
    item.category = category.getText();
    const std::wstring domain = category.getAttributes().getNamedItemText(L"domain");
    if (!domain.empty() && !item.category.empty() && feedImages.find(item.category) == feedImages.end())
        FetchCategoryPicture(domain, item.category, userAgent);

    if (!RequiredText(node, L"./pubDate", item.pubDate))
        return false;
    SYSTEMTIME utc = {};
    if (parseFeedDate(item.pubDate.c_str(), utc)) {
        SYSTEMTIME local = {};
        if (SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
            item.published = local;
            out.instant = InstantOf(utc);
        }
    }

    if (!RequiredText(node, L"./description", item.description))
        return false;
    lx_xml::KXMLNode product = node.selectSingleNode(L"./tb:ProductName");
    if (product.isValid())
        item.productName = product.getText();
    lx_xml::KXMLNode platform = node.selectSingleNode(L"./tb:ProductPlatform");
    if (platform.isValid())
        item.productPlatform = platform.getText();
    return MeantForThisProduct(item);
}

} // namespace

bool readNewsFeed(const std::wstring &feedUrl, std::deque<NewsItem> &items) {
    lx_xml::KXMLDocument document;
    if (!document.create())
        return false;
    static_cast<IXMLDOMDocument *>(document.getInterface())->put_async(VARIANT_FALSE);
    std::string bytes;
    if (feedUrl.empty() || !FetchDocument(feedUrl, Fetched::kFeed, bytes) || !document.loadBytes(bytes))
        return false;

    const std::wstring version =
        document.selectSingleNode(L"/rss").getAttributes().getNamedItemText(L"version");
    if (!IsRss20(version))
        return false;

    lx_xml::KXMLNodeList nodes = document.selectNodes(L"/rss/channel/item");
    if (nodes.length() == 0)
        return false;

    const std::wstring userAgent = LoadResourceString(IDS_USER_AGENT);
    std::vector<Accepted> accepted;
    for (lx_xml::KXMLNode &node : nodes) {
        Accepted candidate;
        if (ReadItem(node, userAgent, candidate))
            accepted.push_back(std::move(candidate));
    }
    if (accepted.empty())
        return false;

    // Latest first; equal instants keep their feed order.
    std::stable_sort(accepted.begin(), accepted.end(),
                     [](const Accepted &a, const Accepted &b) { return a.instant > b.instant; });
    for (Accepted &a : accepted)
        items.push_back(std::move(a.item));
    return true;
}

void DeleteFeedImages() {
    for (auto &entry : feedImages) {
        if (entry.second.bitmap)
            DeleteObject(entry.second.bitmap);
        entry.second.bitmap = nullptr;
    }
    feedImages.clear();
}
