#include "feed/new_information.h"

#include "feed/news_feed.h"

bool hasNewInformation()
{
    return false;
}
