// New-information rule: is the newest news item newer than the news marker?
#pragma once

// Compares newsItems[0] with LastRSSItemDate under the common key and updates the marker.
bool hasNewInformation();
