// The decision whether a run opens the main dialog and whether the host is told about an update.
#include "tarnbeam/app/portable/decision.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char *what;
    DecisionInputs in;
    bool newInformation;
    bool open;
    bool notify;
    bool asksNewInformation;
};

DecisionInputs Auto(bool integrate) {
    DecisionInputs in;
    in.autoCheck = true;
    in.integrateMode = integrate;
    return in;
}

DecisionInputs With(DecisionInputs in, void (*change)(DecisionInputs &)) {
    change(in);
    return in;
}

TEST(MainDialogDecision, Table) {
    const Case cases[] = {
        {"manual run always opens", DecisionInputs{}, false, true, false, false},
        {"showOption 1, news", Auto(false), true, true, false, true},
        {"showOption 1, nothing new", Auto(false), false, false, false, true},
        {"showOption 1, update only: still asks for news",
         With(Auto(false), [](DecisionInputs &i) { i.anyNewer = true; }), false, true, false, true},
        {"showOption 2, news but no update", With(Auto(false), [](DecisionInputs &i) { i.showOption = 2; }),
         true, false, false, false},
        {"showOption 2, update",
         With(Auto(false),
              [](DecisionInputs &i) {
                  i.showOption = 2;
                  i.anyNewer = true;
              }),
         false, true, false, false},
        {"showOption 3 behaves like 2", With(Auto(false), [](DecisionInputs &i) { i.showOption = 3; }), true,
         false, false, false},
        {"showOption 0, update",
         With(Auto(false),
              [](DecisionInputs &i) {
                  i.showOption = 0;
                  i.anyNewer = true;
              }),
         true, false, false, false},
        {"first run opens with nothing new",
         With(Auto(false), [](DecisionInputs &i) { i.helloShown = true; }), false, true, false, true},
        {"integrate: update notifies, no news, no dialog",
         With(Auto(true), [](DecisionInputs &i) { i.anyNewer = true; }), false, false, true, true},
        {"integrate: update and news", With(Auto(true), [](DecisionInputs &i) { i.anyNewer = true; }), true,
         true, true, true},
        {"integrate: AutoCheckUpdate off never notifies",
         With(Auto(true),
              [](DecisionInputs &i) {
                  i.anyNewer = true;
                  i.autoCheckUpdate = false;
              }),
         false, false, false, true},
        {"integrate: ShowOnNewInformation off ignores news",
         With(Auto(true), [](DecisionInputs &i) { i.showOnNewInformation = false; }), true, false, false,
         false},
        {"integrate: first run opens",
         With(Auto(true),
              [](DecisionInputs &i) {
                  i.showOnNewInformation = false;
                  i.helloShown = true;
              }),
         false, true, false, false},
        {"integrate flag ignored without AutoCheck",
         With(DecisionInputs{},
              [](DecisionInputs &i) {
                  i.integrateMode = true;
                  i.anyNewer = true;
              }),
         false, true, false, false},
    };
    for (const Case &c : cases) {
        int asked = 0;
        const Decision d = DecideMainDialog(c.in, [&] {
            ++asked;
            return c.newInformation;
        });
        EXPECT_EQ(d.openMainDialog, c.open) << c.what;
        EXPECT_EQ(d.notifyHost, c.notify) << c.what;
        EXPECT_EQ(asked, c.asksNewInformation ? 1 : 0) << c.what;
    }
}

} // namespace
