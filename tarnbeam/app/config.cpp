#include "tarnbeam/app/config.h"

#include <windows.h>
#include <shlwapi.h>

#include <boost/lexical_cast.hpp>

#include "tarnbeam/app/module_info.h"
#include "tarnbeam/feed/xml/lx_xml.h"
#include "tarnbeam/resources/resource.h"

Configuration g_config;

namespace {

std::wstring InFolder(const std::wstring &folder, const std::wstring &name) {
    if (folder.empty() || folder.size() + name.size() >= MAX_PATH)
        return std::wstring();
    return folder + name;
}

bool ParseWholeNumber(const std::wstring &text, int &number) {
    try {
        number = boost::lexical_cast<int>(text.empty() ? std::wstring(L"0") : text);
        return true;
    } catch (const boost::bad_lexical_cast &) {
        return false;
    }
}

} // namespace

std::wstring ConfigurationPath() {
    const std::wstring folder = ProgramFolder();
    wchar_t tag[16] = {};
    LoadStringW(GetModuleHandleW(nullptr), IDS_LANGUAGE_TAG, tag, 16);
    if (tag[0]) {
        const std::wstring variant = InFolder(folder, std::wstring(L"tarnbeam.") + tag + L".xml");
        if (!variant.empty() && PathFileExistsW(variant.c_str()))
            return variant;
    }
    return InFolder(folder, L"tarnbeam.xml");
}

int LoadConfigurationFrom(const std::wstring &path, Configuration &config) {
    lx_xml::KXMLDocument doc;
    if (!doc.create())
        return kConfigNoDocument;
    doc.setAsync(0);
    if (path.empty() || !doc.load(path))
        return kConfigUnreadable;

    struct Field {
        const wchar_t *path;
        std::wstring Configuration::*member;
        int codeWhenEmpty; // 0: optional
    };
    static const Field kFields[] = {
        {L"/VeltroUpdate/DownloadPath", &Configuration::DownloadPath, kConfigNoDownloadPath},
        {L"/VeltroUpdate/RegKey", &Configuration::RegKey, kConfigNoRegKey},
        {L"/VeltroUpdate/CommonRegKey", &Configuration::CommonRegKey, 0},
        {L"/VeltroUpdate/RSSURL", &Configuration::RSSURL, kConfigNoRssUrl},
        {L"/VeltroUpdate/UpdaterLoginUser", &Configuration::UpdaterLoginUser, 0},
        {L"/VeltroUpdate/UpdaterLoginPass", &Configuration::UpdaterLoginPass, 0},
        {L"/VeltroUpdate/NoUpdateMessage", &Configuration::NoUpdateMessage, kConfigNoUpdateMessage},
        {L"/VeltroUpdate/CheckFailMessage", &Configuration::CheckFailMessage, kConfigNoCheckFailMessage},
        {L"/VeltroUpdate/NoUpdateDescription", &Configuration::NoUpdateDescription,
         kConfigNoUpdateDescription},
        {L"/VeltroUpdate/CheckFailDescription", &Configuration::CheckFailDescription,
         kConfigNoCheckFailDescription},
    };
    for (const Field &field : kFields) {
        const std::wstring text = doc.selectSingleNode(field.path).getText();
        if (field.codeWhenEmpty && text.empty())
            return field.codeWhenEmpty;
        if (field.member == &Configuration::CommonRegKey && text.empty())
            continue; // keeps the built-in default
        config.*field.member = text;
    }

    int integrate = 0;
    if (!ParseWholeNumber(doc.selectSingleNode(L"/VeltroUpdate/IntegrateMode").getText(), integrate))
        return kConfigBadIntegrateMode;
    config.IntegrateMode = integrate != 0;

    config.ProductName = doc.selectSingleNode(L"/VeltroUpdate/ProductName").getText();
    config.ProductPlatform = doc.selectSingleNode(L"/VeltroUpdate/ProductPlatform").getText();
    // News items are matched only when both name and platform are given.
    if (config.ProductPlatform.empty())
        config.ProductName.clear();
    return kConfigLoaded;
}

int LoadConfiguration() {
    return LoadConfigurationFrom(ConfigurationPath(), g_config);
}
