#include "tarnbeam/feed/xml/lx_xml.h"

#include <msxml2.h>

#include <cstring>
#include <cwctype>
#include <new>

#include "tarnbeam/app/win_handles.h"
#include "tarnbeam/feed/portable/xml_guard.h"

namespace lx_xml {

namespace {

// MSXML 3 DOMDocument and the document interface, spelled out so no import library is needed.
const CLSID kClsidDomDocument = {
    0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
const IID kIidXmlDomDocument = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIidXmlDomDocument2 = {
    0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// A platform string for the duration of one call.
class PlatformString {
  public:
    explicit PlatformString(const std::wstring &text)
        : m_bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
        if (!m_bstr)
            throw std::bad_alloc();
    }
    ~PlatformString() { SysFreeString(m_bstr); }
    PlatformString(const PlatformString &) = delete;
    PlatformString &operator=(const PlatformString &) = delete;

    BSTR get() const { return m_bstr; }

  private:
    BSTR m_bstr;
};

std::wstring TakeTrimmed(BSTR text) {
    std::wstring result;
    if (text) {
        const wchar_t *begin = text;
        const wchar_t *end = text + SysStringLen(text);
        while (begin < end && std::iswspace(*begin))
            ++begin;
        while (end > begin && std::iswspace(end[-1]))
            --end;
        result.assign(begin, end);
        SysFreeString(text);
    }
    return result;
}

// A wrapper around what a DOM call returned; empty when the call failed.
template <class W, class I> W Wrapped(HRESULT result, ComPtr<I> &found) {
    return FAILED(result) ? W() : W(found.detach());
}

// Switches off what would make the parser reach beyond the bytes it is given: validation,
// external entities, DTDs and (where the platform knows the limit) deep nesting. Properties an
// older parser does not know are skipped: the byte check before every parse holds regardless.
void Harden(IXMLDOMDocument *doc) {
    doc->put_validateOnParse(VARIANT_FALSE);
    doc->put_resolveExternals(VARIANT_FALSE);
    ComPtr<IXMLDOMDocument2> doc2;
    if (FAILED(doc->QueryInterface(kIidXmlDomDocument2, reinterpret_cast<void **>(doc2.put()))) || !doc2)
        return;
    struct Property {
        const wchar_t *name;
        VARTYPE type;
        long value;
    };
    static const Property kProperties[] = {
        {L"ProhibitDTD", VT_BOOL, VARIANT_TRUE},
        {L"ResolveExternals", VT_BOOL, VARIANT_FALSE},
        {L"AllowDocumentFunction", VT_BOOL, VARIANT_FALSE},
        {L"AllowXsltScript", VT_BOOL, VARIANT_FALSE},
        {L"MaxElementDepth", VT_I4, static_cast<long>(xmlguard::kMaxElementDepth)},
    };
    for (const Property &p : kProperties) {
        PlatformString name(p.name);
        VARIANT value;
        VariantInit(&value);
        V_VT(&value) = p.type;
        if (p.type == VT_BOOL)
            V_BOOL(&value) = static_cast<VARIANT_BOOL>(p.value);
        else
            V_I4(&value) = p.value;
        doc2->setProperty(name.get(), value);
    }
}

// Reads a whole file of at most kMaxDocumentBytes.
bool ReadWholeFile(const std::wstring &path, std::string &bytes) {
    KernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<unsigned long long>(size.QuadPart) > kMaxDocumentBytes)
        return false;
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD got = 0;
    return bytes.empty() ||
           (ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) &&
            got == bytes.size());
}

} // namespace

KXMLNode KXMLNode::selectSingleNode(const std::wstring &path) {
    IXMLDOMNode *self = getInterface();
    if (!self)
        return KXMLNode();
    PlatformString query(path);
    ComPtr<IXMLDOMNode> found;
    lastResult = self->selectSingleNode(query.get(), found.put());
    return Wrapped<KXMLNode>(lastResult, found);
}

KXMLNodeList KXMLNode::selectNodes(const std::wstring &path) {
    IXMLDOMNode *self = getInterface();
    if (!self)
        return KXMLNodeList();
    PlatformString query(path);
    ComPtr<IXMLDOMNodeList> found;
    lastResult = self->selectNodes(query.get(), found.put());
    return Wrapped<KXMLNodeList>(lastResult, found);
}

std::wstring KXMLNode::getText() {
    IXMLDOMNode *self = getInterface();
    if (!self)
        return std::wstring();
    BSTR text = nullptr;
    lastResult = self->get_text(&text);
    if (FAILED(lastResult)) {
        SysFreeString(text);
        return std::wstring();
    }
    return TakeTrimmed(text);
}

KXMLNamedNodeMap KXMLNode::getAttributes() {
    IXMLDOMNode *self = getInterface();
    if (!self)
        return KXMLNamedNodeMap();
    ComPtr<IXMLDOMNamedNodeMap> map;
    lastResult = self->get_attributes(map.put());
    return Wrapped<KXMLNamedNodeMap>(lastResult, map);
}

bool KXMLDocument::create() {
    IXMLDOMDocument *doc = nullptr;
    lastResult = CoCreateInstance(kClsidDomDocument, nullptr, CLSCTX_ALL, kIidXmlDomDocument,
                                  reinterpret_cast<void **>(&doc));
    if (FAILED(lastResult) || !doc)
        return false;
    Harden(doc);
    attachTyped(doc);
    return true;
}

bool KXMLDocument::setAsync(int) {
    IXMLDOMDocument *doc = typedInterface();
    if (!doc)
        return false;
    lastResult = doc->put_async(VARIANT_FALSE);
    return lastResult >= 0;
}

bool KXMLDocument::load(const std::wstring &path) {
    if (!typedInterface())
        return false;
    std::string bytes;
    if (!ReadWholeFile(path, bytes)) {
        lastResult = HRESULT_FROM_WIN32(GetLastError());
        return false;
    }
    return loadBytes(bytes);
}

bool KXMLDocument::loadBytes(const std::string &bytes) {
    IXMLDOMDocument *doc = typedInterface();
    if (!doc)
        return false;
    if (bytes.size() > kMaxDocumentBytes ||
        xmlguard::checkDocument(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()) !=
            xmlguard::Verdict::kAccepted) {
        lastResult = E_FAIL;
        return false;
    }
    SafeArrayHandle array(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size())));
    if (!array)
        throw std::bad_alloc();
    void *data = nullptr;
    if (FAILED(SafeArrayAccessData(array.get(), &data)))
        return false;
    if (!bytes.empty())
        std::memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(array.get());
    VARIANT source;
    VariantInit(&source);
    V_VT(&source) = VT_ARRAY | VT_UI1;
    V_ARRAY(&source) = array.get(); // still owned by `array`
    VARIANT_BOOL loaded = VARIANT_FALSE;
    lastResult = doc->load(source, &loaded);
    if (FAILED(lastResult) || loaded != VARIANT_TRUE)
        return false;
    // A document type that got past the byte check is refused all the same.
    ComPtr<IXMLDOMDocumentType> type;
    if (SUCCEEDED(doc->get_doctype(type.put())) && type) {
        lastResult = E_FAIL;
        return false;
    }
    return true;
}

KXMLNode KXMLNodeList::item(long index) {
    IXMLDOMNodeList *self = getInterface();
    if (!self)
        return KXMLNode();
    ComPtr<IXMLDOMNode> node;
    lastResult = self->get_item(index, node.put());
    return Wrapped<KXMLNode>(lastResult, node);
}

long KXMLNodeList::length() {
    IXMLDOMNodeList *self = getInterface();
    if (!self)
        return 0;
    long count = 0;
    lastResult = self->get_length(&count);
    if (FAILED(lastResult) || count < 0)
        return 0;
    return count;
}

KXMLNodeList::iterator KXMLNodeList::begin() {
    return iterator(this, 0);
}

KXMLNodeList::iterator KXMLNodeList::end() {
    return iterator(this, length());
}

KXMLNodeList::iterator::iterator(KXMLNodeList *list, long index)
    : m_list(list), m_index(0), m_length(list ? list->length() : 0) {
    m_index = index < 0 ? 0 : (index > m_length ? m_length : index);
}

KXMLNode &KXMLNodeList::iterator::operator*() {
    m_current = m_list ? m_list->item(m_index) : KXMLNode();
    return m_current;
}

KXMLNode KXMLNamedNodeMap::getNamedItem(const std::wstring &name) {
    IXMLDOMNamedNodeMap *self = getInterface();
    if (!self)
        return KXMLNode();
    PlatformString text(name);
    ComPtr<IXMLDOMNode> node;
    lastResult = self->getNamedItem(text.get(), node.put());
    return Wrapped<KXMLNode>(lastResult, node);
}

std::wstring KXMLNamedNodeMap::getNamedItemText(const std::wstring &name) {
    KXMLNode attribute = getNamedItem(name);
    return attribute.getText();
}

} // namespace lx_xml
