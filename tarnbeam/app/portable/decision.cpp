#include "tarnbeam/app/portable/decision.h"

Decision DecideMainDialog(const DecisionInputs &in, const std::function<bool()> &hasNewInformation) {
    Decision d;
    if (!in.autoCheck) {
        d.openMainDialog = true;
        return d;
    }
    if (in.integrateMode) {
        // An available update never opens the dialog by itself here: the host is told instead.
        if (in.autoCheckUpdate && in.anyNewer)
            d.notifyHost = true;
        if (in.showOnNewInformation && hasNewInformation())
            d.openMainDialog = true;
    } else if (in.showOption != 0) {
        if (in.showOption == 1 && hasNewInformation())
            d.openMainDialog = true;
        else if (in.anyNewer)
            d.openMainDialog = true;
    }
    if (!d.openMainDialog && in.helloShown)
        d.openMainDialog = true;
    return d;
}
