// Whether a run opens the main dialog, and whether it tells the host about an update.
#pragma once

#include <functional>

struct DecisionInputs {
    bool autoCheck = false; // the AutoCheck switch was given
    bool integrateMode = false;
    bool autoCheckUpdate = true;      // integrate mode only
    bool showOnNewInformation = true; // integrate mode only
    unsigned long showOption = 1;     // without integrate mode only
    bool helloShown = false;          // the first-run notice was shown in this run
    bool anyNewer = false;            // some update entry offers a newer version
};

struct Decision {
    bool openMainDialog = false;
    bool notifyHost = false; // post the update notification to the host's window
};

// `hasNewInformation` is called only when the rule needs it (it also updates the news marker).
Decision DecideMainDialog(const DecisionInputs &in, const std::function<bool()> &hasNewInformation);
