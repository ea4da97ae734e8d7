// News feed reader: items for this product, newest first, and the category pictures.
#pragma once
#include <windows.h>

#include <deque>
#include <string>

// One accepted feed item (kind tag 48).
struct NewsItem {
    int kind = 48;
    SYSTEMTIME published{};  // local time; all zero when the feed date did not parse
};

// Process-wide list of news items, newest first after readNewsFeed.
extern std::deque<NewsItem> newsItems;

bool readNewsFeed(const std::wstring& feedUrl, std::deque<NewsItem>& items);

// Deletes the bitmaps of the feed image table (at the end of the run).
void DeleteFeedImages();
