#include "tarnbeam/retrieval/version_check.h"

#include <shlwapi.h>

#include <cstdio>
#include <cwchar>
#include <vector>
#include <new>

#include "tarnbeam/app/module_info.h"
#include "tarnbeam/feed/feed_date.h"
#include "tarnbeam/feed/xml/lx_xml.h"
#include "tarnbeam/retrieval/document_fetch.h"
#include "tarnbeam/retrieval/signed_document.h"
#include "tarnbeam/retrieval/trusted_host.h"

UpdateEntryList g_updateEntries;

namespace {

struct InstalledVersion {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned build = 0;
};

// The remote elements in the order they are read; a missing one ends the check with its code.
const wchar_t *const kRemoteElements[] = {
    L"VersionMajor", L"VersionMinor", L"VersionBuild", L"VersionString", L"FileURL",
    L"FileName",     L"FileMD5",      L"Description",  L"Date",          L"ID",
};
const int kRemoteElementCount = sizeof kRemoteElements / sizeof kRemoteElements[0];
enum RemoteField {
    kMajor,
    kMinor,
    kBuild,
    kVersionString,
    kFileUrl,
    kFileName,
    kFileMD5,
    kDescription,
    kDate,
    kId
};

std::wstring ChildText(lx_xml::KXMLNode &node, const wchar_t *name) {
    lx_xml::KXMLNode child = node.selectSingleNode(name);
    return child.getText();
}

// Like the C library's unsigned base-10 conversion: leading digits count, no digits give 0.
unsigned ToUnsigned(const std::wstring &text) {
    return static_cast<unsigned>(wcstoul(text.c_str(), nullptr, 10));
}

bool ReadVersionResource(const wchar_t *modulePath, InstalledVersion &v) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(modulePath, &ignored);
    if (size == 0)
        return false;
    std::vector<BYTE> data(size);
    VS_FIXEDFILEINFO *info = nullptr;
    UINT infoSize = 0;
    if (!GetFileVersionInfoW(modulePath, 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&info), &infoSize) || !info ||
        infoSize < sizeof(VS_FIXEDFILEINFO))
        return false;
    v.major = HIWORD(info->dwFileVersionMS);
    v.minor = LOWORD(info->dwFileVersionMS);
    v.build = HIWORD(info->dwFileVersionLS);
    return true;
}

void ReadInitialisationFile(const wchar_t *modulePath, InstalledVersion &v) {
    v.major = GetPrivateProfileIntW(L"tarnbeam", L"VersionMajor", 0, modulePath);
    v.minor = GetPrivateProfileIntW(L"tarnbeam", L"VersionMinor", 0, modulePath);
    v.build = GetPrivateProfileIntW(L"tarnbeam", L"VersionBuild", 0, modulePath);
}

bool IsNewer(unsigned major, unsigned minor, unsigned build, const InstalledVersion &installed) {
    if (major != installed.major)
        return major > installed.major;
    if (minor != installed.minor)
        return minor > installed.minor;
    return build > installed.build;
}

// The release date in local time, or all zero when the text is no date.
SYSTEMTIME ReleaseDate(const std::wstring &text) {
    SYSTEMTIME zero{};
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    if (!parseFeedDate(text.c_str(), utc))
        return zero;
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        return zero;
    return local;
}

bool Fail(int &code, int value) {
    code = value;
    return false;
}

} // namespace

bool RunVersionCheck(UpdateEntryList &entries, int &code) {
    const std::wstring folder = ProgramFolder();
    wchar_t localPath[MAX_PATH];
    if (folder.empty() || !PathCombineW(localPath, folder.c_str(), L"tarnbeam.xml"))
        return Fail(code, kCheckLocalDocumentLoad);

    lx_xml::KXMLDocument local;
    if (!local.create())
        return Fail(code, kCheckLocalDocumentCreate);
    local.setAsync(0);
    if (!local.load(localPath))
        return Fail(code, kCheckLocalDocumentLoad);

    const std::wstring versionInfoUrl = local.selectSingleNode(L"/VeltroUpdate/VersionInfoURL").getText();
    if (versionInfoUrl.empty())
        return false;

    // Only the maker's own servers are asked: the host must end with the trusted suffix.
    switch (CheckTrustedHost(versionInfoUrl)) {
    case HostCheck::kNoHostName:
        return Fail(code, kCheckNoHostName);
    case HostCheck::kTooShort:
        return Fail(code, kCheckHostTooShort);
    case HostCheck::kUntrusted:
        return Fail(code, kCheckUntrustedHost);
    case HostCheck::kTrusted:
        break;
    }

    lx_xml::KXMLDocument remote;
    if (!remote.create())
        return Fail(code, kCheckRemoteDocumentCreate);
    remote.setAsync(0);
    // Fetched by our own transfer, which holds every redirect to the trusted domain, and parsed
    // only once it is whole (and, when the build asks for it, its signature verified).
    std::string remoteBytes;
    if (!FetchDocument(versionInfoUrl, Fetched::kVersionInfo, remoteBytes))
        return Fail(code, kCheckRemoteDocumentLoad);
    if (g_trust.signedVersionInfo && !VersionInfoSignatureValid(versionInfoUrl, remoteBytes))
        return Fail(code, kCheckVersionInfoSignature);
    if (!remote.loadBytes(remoteBytes))
        return Fail(code, kCheckRemoteDocumentLoad);

    lx_xml::KXMLNodeList localComponents = local.selectNodes(L"/VeltroUpdate/Component");
    if (!localComponents.isValid())
        return Fail(code, kCheckLocalComponentList);
    lx_xml::KXMLNode component = localComponents.item(0); // empty when there is none
    const std::wstring localId = ChildText(component, L"ID");
    if (localId.empty())
        return Fail(code, kCheckLocalIdMissing);
    const std::wstring localName = ChildText(component, L"Name");
    if (localName.empty())
        return Fail(code, kCheckLocalNameMissing);
    lx_xml::KXMLNode moduleNode = component.selectSingleNode(L"Module");
    const std::wstring module = moduleNode.getText();
    if (module.empty())
        return Fail(code, kCheckLocalModuleMissing);

    wchar_t modulePath[MAX_PATH];
    if (!PathCombineW(modulePath, folder.c_str(), module.c_str()))
        return Fail(code, kCheckNoVersionResource);
    InstalledVersion installed;
    if (moduleNode.getAttributes().getNamedItemText(L"type") == L"def")
        ReadInitialisationFile(modulePath, installed);
    else if (!ReadVersionResource(modulePath, installed))
        return Fail(code, kCheckNoVersionResource);

    wchar_t installedText[64];
    swprintf(installedText, sizeof installedText / sizeof installedText[0], L"%d.%02d.%02d",
             static_cast<int>(installed.major), static_cast<int>(installed.minor),
             static_cast<int>(installed.build));

    lx_xml::KXMLNodeList remoteComponents = remote.selectNodes(L"/UpdateInfoBase/Component");
    if (!remoteComponents.isValid())
        return Fail(code, kCheckRemoteComponentList);

    // Every component up to the match must be complete, not only the matching one.
    std::wstring fields[kRemoteElementCount];
    bool matched = false;
    for (lx_xml::KXMLNode &candidate : remoteComponents) {
        for (int i = 0; i < kRemoteElementCount; ++i) {
            fields[i] = ChildText(candidate, kRemoteElements[i]);
            if (fields[i].empty())
                return Fail(code, kCheckRemoteVersionMajorMissing + i);
        }
        if (fields[kId] == localId) {
            matched = true;
            break;
        }
    }
    if (!matched)
        return Fail(code, kCheckNoMatchingComponent);

    UpdateEntry entry;
    entry.offeredMajor = ToUnsigned(fields[kMajor]);
    entry.offeredMinor = ToUnsigned(fields[kMinor]);
    entry.offeredBuild = ToUnsigned(fields[kBuild]);
    entry.newer = IsNewer(entry.offeredMajor, entry.offeredMinor, entry.offeredBuild, installed);
    entry.componentName = localName;
    entry.installedVersion = installedText;
    entry.versionString = fields[kVersionString];
    entry.fileUrl = fields[kFileUrl];
    entry.fileName = fields[kFileName];
    entry.fileMD5 = fields[kFileMD5];
    entry.description = fields[kDescription];
    entry.releaseDate = ReleaseDate(fields[kDate]);
    entries.push_back(entry);
    return true;
}
