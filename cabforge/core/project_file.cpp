#include "cabforge/core/project_file.h"

#include <msxml2.h>
#include <shlobj.h>

#include <utility>
#include <vector>

#include "cabforge/core/app_state.h"
#include "cabforge/core/archive_tree.h"
#include "cabforge/core/cmdline/command_line.h"
#include "cabforge/core/progress_dialog.h"
#include "cabforge/core/win_handles.h"
#include "cabforge/core/win_util.h"
#include "cabforge/resources/resource.h"

namespace {

const CLSID kDomDocumentClass = {
    0x2933bf90, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
const IID kDomDocumentInterface = {
    0x2933bf81, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
const IID kDomDocument2Interface = {
    0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
const IID kDomElementInterface = {
    0x2933bf86, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

const wchar_t kRootElement[] = L"PakkitCompressorProject";
const wchar_t kFolderElement[] = L"Folder";
const wchar_t kFileElement[] = L"File";
const wchar_t kNameAttribute[] = L"Name";
const wchar_t kTemplate[] = L"<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                            L"<PakkitCompressorProject>\n</PakkitCompressorProject>";
const int kNameChars = 259;
// Deeper than any project's folders by far.
const long kMaxElementDepth = 256;

// A project may come from anyone: its parser reaches for nothing beyond the file. Validation and
// external resolution are off, and document type declarations are prohibited where the parser
// knows the property (a document that has one is refused after loading in any case).
void Harden(IXMLDOMDocument *document) {
    document->put_validateOnParse(VARIANT_FALSE);
    document->put_resolveExternals(VARIANT_FALSE);
    ComPtr<IXMLDOMDocument2> document2;
    if (FAILED(
            document->QueryInterface(kDomDocument2Interface, reinterpret_cast<void **>(document2.put()))) ||
        !document2)
        return;
    struct Property {
        const wchar_t *name;
        VARTYPE type;
        long value;
    };
    static const Property kProperties[] = {
        {L"ProhibitDTD", VT_BOOL, VARIANT_TRUE},
        {L"ResolveExternals", VT_BOOL, VARIANT_FALSE},
        {L"MaxElementDepth", VT_I4, kMaxElementDepth},
    };
    for (const Property &p : kProperties) {
        BstrHandle name(SysAllocString(p.name));
        VARIANT value;
        VariantInit(&value);
        V_VT(&value) = p.type;
        if (p.type == VT_BOOL)
            V_BOOL(&value) = static_cast<VARIANT_BOOL>(p.value);
        else
            V_I4(&value) = p.value;
        if (name)
            document2->setProperty(name.get(), value);
    }
}

ComPtr<IXMLDOMDocument> CreateDocument() {
    ComPtr<IXMLDOMDocument> document;
    if (FAILED(CoCreateInstance(kDomDocumentClass, nullptr, CLSCTX_ALL, kDomDocumentInterface,
                                reinterpret_cast<void **>(document.put()))))
        document.reset();
    if (document)
        Harden(document.get());
    return document;
}

bool HasDocumentType(IXMLDOMDocument *document) {
    ComPtr<IXMLDOMDocumentType> type;
    return SUCCEEDED(document->get_doctype(type.put())) && type;
}

BstrHandle MakeBstr(const std::wstring &text) {
    return BstrHandle(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

std::wstring TextOf(const BstrHandle &text) {
    return text ? std::wstring(text.get(), SysStringLen(text.get())) : std::wstring();
}

// One item a project describes, in document order; `parent` indexes an earlier item, or is -1 for
// the root.
struct ProjectItem {
    int parent;
    bool folder;
    std::wstring name;
    std::wstring path; // files only
};

// The `Name` attribute of a Folder element; empty when it has none.
std::wstring FolderName(IXMLDOMNode *node) {
    ComPtr<IXMLDOMElement> element;
    if (FAILED(node->QueryInterface(kDomElementInterface, reinterpret_cast<void **>(element.put()))) ||
        !element)
        return std::wstring();
    BstrHandle name = MakeBstr(kNameAttribute);
    VariantHolder value;
    if (element->getAttribute(name.get(), value.put()) != S_OK || value.get().vt != VT_BSTR)
        return std::wstring();
    return std::wstring(value.get().bstrVal, SysStringLen(value.get().bstrVal));
}

// Reads the child nodes of `element`, and theirs, into `items` in document order. A Folder without
// a name adds no level: what it holds belongs to its parent. False as soon as a name breaks the
// archive's name rule (a project from elsewhere may name "..", "C:" or a share), so that such a
// project changes nothing. An explicit stack instead of recursion: the depth of a file's nesting
// is the file's choice.
bool ReadItems(IXMLDOMNode *element, std::vector<ProjectItem> &items) {
    struct Level {
        ComPtr<IXMLDOMNodeList> children;
        int item;
    };
    std::vector<Level> levels;
    ComPtr<IXMLDOMNodeList> first;
    if (FAILED(element->get_childNodes(first.put())) || !first)
        return true;
    levels.push_back({first, -1});
    while (!levels.empty()) {
        ComPtr<IXMLDOMNode> node;
        if (levels.back().children->nextNode(node.put()) != S_OK || !node) {
            levels.pop_back();
            continue;
        }
        const int at = levels.back().item;
        BstrHandle nodeName;
        if (FAILED(node->get_nodeName(nodeName.put())))
            continue;
        const std::wstring kind = TextOf(nodeName);
        int item = at;
        if (kind == kFolderElement) {
            const std::wstring name = FolderName(node.get()).substr(0, kNameChars);
            if (!name.empty()) {
                if (!IsArchiveComponent(name))
                    return false;
                items.push_back({at, true, name, std::wstring()});
                item = static_cast<int>(items.size()) - 1;
            }
        } else if (kind == kFileElement) {
            BstrHandle text;
            if (FAILED(node->get_text(text.put())))
                continue;
            const std::wstring path = TextOf(text);
            const std::wstring name = cfcmd::fileNamePart(path).substr(0, kNameChars);
            if (!IsArchiveComponent(name))
                return false;
            items.push_back({at, false, name, path});
            item = static_cast<int>(items.size()) - 1;
        } else {
            continue;
        }
        ComPtr<IXMLDOMNodeList> children;
        if (SUCCEEDED(node->get_childNodes(children.put())) && children)
            levels.push_back({children, item});
    }
    return true;
}

// Inserts the items below the root, each at its sorted place.
void InsertItems(const std::vector<ProjectItem> &items) {
    std::vector<HTREEITEM> made(items.size(), nullptr);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const ProjectItem &p = items[i];
        HTREEITEM parent = p.parent < 0 ? g_archiveTree.root() : made[static_cast<std::size_t>(p.parent)];
        if (!parent)
            continue;
        made[i] = p.folder ? g_archiveTree.insertFolder(parent, p.name)
                           : g_archiveTree.insertFile(parent, p.name, p.path);
    }
}

bool ChooseFile(HWND owner, bool saving, std::wstring &path) {
    return ChooseFileName(owner, saving, IDS_PROJECT_FILTER, saving ? L"untitled" : L"*.pkp", L"pkp", path);
}

ComPtr<IXMLDOMElement> NewElement(IXMLDOMDocument *document, const wchar_t *tag) {
    ComPtr<IXMLDOMElement> element;
    BstrHandle name = MakeBstr(tag);
    if (!name || document->createElement(name.get(), element.put()) != S_OK)
        element.reset();
    return element;
}

bool Append(IXMLDOMNode *parent, IXMLDOMNode *child) {
    return parent->appendChild(child, nullptr) == S_OK;
}

// One element per item below the root, in tree order; false on the first DOM error.
bool WriteTree(IXMLDOMDocument *document, IXMLDOMElement *rootElement) {
    const HTREEITEM top = g_archiveTree.root();
    // The chain of folder items from the root down to the parent of the item at hand.
    std::vector<std::pair<HTREEITEM, ComPtr<IXMLDOMElement>>> chain;
    rootElement->AddRef();
    chain.emplace_back(top, ComPtr<IXMLDOMElement>(rootElement));
    for (HTREEITEM item = g_archiveTree.firstChildOf(top); item; item = g_archiveTree.nextInWalk(item, top)) {
        const HTREEITEM parent = g_archiveTree.parentOf(item);
        while (chain.size() > 1 && chain.back().first != parent)
            chain.pop_back();
        IXMLDOMElement *into = chain.back().second.get();
        if (const std::wstring *source = g_archiveTree.sourceOf(item)) {
            ComPtr<IXMLDOMElement> file = NewElement(document, kFileElement);
            ComPtr<IXMLDOMText> text;
            BstrHandle value = MakeBstr(*source);
            if (!file || !value || document->createTextNode(value.get(), text.put()) != S_OK ||
                !Append(file.get(), text.get()) || !Append(into, file.get()))
                return false;
            continue;
        }
        ComPtr<IXMLDOMElement> folder = NewElement(document, kFolderElement);
        BstrHandle attribute = MakeBstr(kNameAttribute);
        VariantHolder name;
        name.get().vt = VT_BSTR;
        name.get().bstrVal = SysAllocString(g_archiveTree.textOf(item).c_str());
        if (!folder || !attribute || !name.get().bstrVal ||
            folder->setAttribute(attribute.get(), name.get()) != S_OK || !Append(into, folder.get()))
            return false;
        chain.emplace_back(item, folder);
    }
    return true;
}

// The document's bytes as the DOM saves them (with the encoding of its declaration).
bool SaveToBytes(IXMLDOMDocument *document, std::string &bytes) {
    ComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put())) || !stream)
        return false;
    VariantHolder target;
    target.get().vt = VT_UNKNOWN;
    target.get().punkVal = stream.get();
    stream.get()->AddRef();
    if (document->save(target.get()) != S_OK)
        return false;
    STATSTG stat = {};
    if (FAILED(stream->Stat(&stat, STATFLAG_NONAME)) || stat.cbSize.HighPart != 0)
        return false;
    bytes.resize(stat.cbSize.LowPart);
    LARGE_INTEGER start = {};
    ULONG read = 0;
    if (FAILED(stream->Seek(start, STREAM_SEEK_SET, nullptr)) ||
        (!bytes.empty() &&
         (FAILED(stream->Read(&bytes[0], stat.cbSize.LowPart, &read)) || read != bytes.size())))
        return false;
    return true;
}

// Writes the bytes beside `path` first and moves them into place only once they are all on
// disk, so that a full disk or a failed write leaves no partial project behind.
bool WriteFileWhole(const std::wstring &path, const std::string &bytes) {
    const std::wstring partial = path + L".partial";
    {
        KernelHandle file(CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
            return false;
        DWORD written = 0;
        const bool ok =
            WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size() && FlushFileBuffers(file.get());
        file.reset();
        if (!ok) {
            DeleteFileW(partial.c_str());
            return false;
        }
    }
    if (!MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(partial.c_str());
        return false;
    }
    return true;
}

} // namespace

namespace ProjectFile {

bool load(HWND owner, const std::wstring &path) {
    ComPtr<IXMLDOMDocument> document = CreateDocument();
    if (!document) {
        g_exitCode = kExitNoXmlComponent;
        return false;
    }
    document->put_async(VARIANT_FALSE);
    VariantHolder source;
    source.get().vt = VT_BSTR;
    source.get().bstrVal = SysAllocString(path.c_str());
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (!source.get().bstrVal || document->load(source.get(), &loaded) != S_OK || loaded != VARIANT_TRUE ||
        HasDocumentType(document.get())) {
        g_exitCode = kExitProjectUnreadable;
        return false;
    }
    ComPtr<IXMLDOMNode> rootElement;
    BstrHandle query = MakeBstr(std::wstring(L"/") + kRootElement);
    const bool isProject =
        query && document->selectSingleNode(query.get(), rootElement.put()) == S_OK && rootElement;
    std::vector<ProjectItem> items;
    if (isProject && !ReadItems(rootElement.get(), items)) {
        // A name that breaks the rule: a malformed project, and the tree stays as it was.
        g_exitCode = kExitProjectUnreadable;
        return false;
    }
    if (!g_silent) {
        if (!ProgressDialog::open(owner, false))
            return false;
        ProgressDialog::setDetail(LoadResourceString(IDS_CREATING_TREE));
    }
    g_archiveTree.reset();
    if (isProject) {
        g_archiveTree.beginBatch();
        InsertItems(items);
        g_archiveTree.endBatch();
        g_archiveTree.expand(g_archiveTree.root());
    }
    ProgressDialog::close();
    if (!isProject) {
        // Well-formed, but another kind of document: the tree keeps its root alone.
        g_exitCode = kExitProjectUnreadable;
        return false;
    }
    return true;
}

bool chooseAndLoad(HWND owner) {
    std::wstring path;
    return ChooseFile(owner, false, path) && load(owner, path);
}

bool writeTo(const std::wstring &path) {
    ComPtr<IXMLDOMDocument> document = CreateDocument();
    if (!document)
        return false;
    BstrHandle text = MakeBstr(kTemplate);
    VARIANT_BOOL parsed = VARIANT_FALSE;
    if (!text || document->loadXML(text.get(), &parsed) != S_OK || parsed != VARIANT_TRUE)
        return false;
    ComPtr<IXMLDOMElement> rootElement;
    if (document->get_documentElement(rootElement.put()) != S_OK || !rootElement)
        return false;
    if (!WriteTree(document.get(), rootElement.get()))
        return false;
    std::string bytes;
    if (!SaveToBytes(document.get(), bytes) || !WriteFileWhole(path, bytes))
        return false;
    SHChangeNotify(SHCNE_CREATE, SHCNF_PATHW, path.c_str(), nullptr);
    return true;
}

bool save(HWND owner) {
    if (!g_archiveTree.hasEntries()) {
        ShowResourceMessage(owner, IDS_NO_FILES, MB_OK | MB_ICONWARNING);
        return false;
    }
    std::wstring path;
    if (!ChooseFile(owner, true, path))
        return false;
    return writeTo(path);
}

} // namespace ProjectFile
