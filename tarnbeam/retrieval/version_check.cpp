#include "retrieval/version_check.h"

UpdateEntryList g_updateEntries;

bool RunVersionCheck(UpdateEntryList& entries, int& code)
{
    // Not wired to the version-information document yet: the run goes on as if nothing was found.
    entries.clear();
    code = 0;
    return false;
}
