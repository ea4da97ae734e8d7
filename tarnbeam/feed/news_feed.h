// News feed reader: items for this product, newest first, and the category pictures.
#pragma once
#include <windows.h>

#include <deque>
#include <map>
#include <string>

// Kind tag that begins every news item (update entries carry 52 in the same place).
const int kNewsItemKind = 48;

// One accepted feed item.
struct NewsItem {
    int kind = kNewsItemKind;
    std::wstring category; // also the key of the feed image table
    std::wstring title;
    std::wstring link;            // kept, not displayed
    std::wstring pubDate;         // as written in the feed
    std::wstring description;     // HTML
    std::wstring productName;     // "" when the item names none
    std::wstring productPlatform; // "" when the item names none
    SYSTEMTIME published{};       // local time; all zero when the feed date did not parse
};

// Process-wide list of news items, newest first after readNewsFeed.
extern std::deque<NewsItem> newsItems;

// One category picture. imageIndex is 0 until the news list puts the bitmap into its image list.
struct FeedImage {
    int imageIndex = 0;
    HBITMAP bitmap = nullptr;
};

// Process-wide feed image table: category text (case-sensitive) to its picture. Only categories
// whose picture was fetched and decoded have an entry; the bitmaps live until DeleteFeedImages.
extern std::map<std::wstring, FeedImage> feedImages;

// Loads the RSS 2.0 feed at feedUrl, appends the items meant for this product (configured
// ProductName and ProductPlatform) to `items` sorted newest first, and fetches each category's
// picture once. True when at least one item was accepted. `items` is expected to be empty.
bool readNewsFeed(const std::wstring &feedUrl, std::deque<NewsItem> &items);

// Deletes the bitmaps of the feed image table (at the end of the run).
void DeleteFeedImages();
