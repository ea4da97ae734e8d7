// lx_xml: copyable value wrappers over the MSXML DOM.
//
// Every wrapper shares one counted holder of the platform interface pointer. Every DOM failure
// is absorbed: the operation returns an empty wrapper, an empty string or false, and the failing
// status is kept in `lastResult` of the wrapper it was called on. Operations on an empty wrapper
// return the empty form without a platform call. The one failure that unwinds is running out of
// memory while turning a string into a platform string (std::bad_alloc).
//
// Documents are parsed from bytes the program has read itself: the platform's own loader never
// fetches anything. A document may not declare a document type (no DTD, so no entity of any
// kind), nor nest elements deeper than xmlguard::kMaxElementDepth; such a document fails to load
// as a malformed one does.
#pragma once

#include <windows.h>
#include <msxml.h>

#include <boost/shared_ptr.hpp>

#include <cstddef>
#include <iterator>
#include <string>

namespace lx_xml {

// The largest document read: far more than any configuration, version list or feed needs.
const std::size_t kMaxDocumentBytes = 16 * 1024 * 1024;

namespace internal {

// Owns exactly one reference on one platform interface pointer.
class KXMLInterfacePtr {
  public:
    explicit KXMLInterfacePtr(IUnknown *p) : m_p(p) {}
    ~KXMLInterfacePtr() {
        if (m_p)
            m_p->Release();
    }
    KXMLInterfacePtr(const KXMLInterfacePtr &) = delete;
    KXMLInterfacePtr &operator=(const KXMLInterfacePtr &) = delete;

    IUnknown *get() const { return m_p; }

  private:
    IUnknown *m_p;
};

template <class I> class KXMLDOMBaseT {
  public:
    KXMLDOMBaseT() : lastResult(0) {}
    // Takes over the reference the platform call handed out; no reference is added.
    explicit KXMLDOMBaseT(I *p) : m_holder(p ? new KXMLInterfacePtr(p) : nullptr), lastResult(0) {}
    bool isValid() const { return m_holder && m_holder->get() != nullptr; }
    I *getInterface() const { return m_holder ? static_cast<I *>(m_holder->get()) : nullptr; }

  protected:
    // Replaces the held object with `p` (taking over its reference).
    void attach(IUnknown *p) { m_holder.reset(p ? new KXMLInterfacePtr(p) : nullptr); }
    IUnknown *raw() const { return m_holder ? m_holder->get() : nullptr; }

  private:
    boost::shared_ptr<KXMLInterfacePtr> m_holder;

  public:
    HRESULT lastResult; // status of the last platform call made through this wrapper
};

} // namespace internal

class KXMLNodeList;
class KXMLNamedNodeMap;

class KXMLNode : public internal::KXMLDOMBaseT<IXMLDOMNode> {
  public:
    KXMLNode() {}
    explicit KXMLNode(IXMLDOMNode *p) : KXMLDOMBaseT<IXMLDOMNode>(p) {}

    KXMLNode selectSingleNode(const std::wstring &path);
    KXMLNodeList selectNodes(const std::wstring &path);
    // The text of the node and its descendants, without surrounding white space.
    std::wstring getText();
    KXMLNamedNodeMap getAttributes();
};

namespace internal {

// A node-based wrapper whose held object is the more specific interface D.
template <class D> class KXMLNodeBasedT : public KXMLNode {
  public:
    KXMLNodeBasedT() {}
    explicit KXMLNodeBasedT(D *p) : KXMLNode(p) {}

  protected:
    D *typedInterface() const { return static_cast<D *>(getInterface()); }
    void attachTyped(D *p) { attach(static_cast<IXMLDOMNode *>(p)); }
};

} // namespace internal

class KXMLDocument : public internal::KXMLNodeBasedT<IXMLDOMDocument> {
  public:
    KXMLDocument() {}

    // Creates the platform document (MSXML 3) with validation, external resolution and document
    // type declarations switched off. COM must be initialised on this thread.
    bool create();
    // Switches asynchronous loading off; the argument is ignored.
    bool setAsync(int ignored);
    // Loads the file at `path` (at most kMaxDocumentBytes); true only when it parses.
    bool load(const std::wstring &path);
    // Parses a document held in memory, as it came from a file or the network.
    bool loadBytes(const std::string &bytes);
};

class KXMLNodeList : public internal::KXMLDOMBaseT<IXMLDOMNodeList> {
  public:
    class iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = KXMLNode;
        using difference_type = std::ptrdiff_t;
        using pointer = KXMLNode *;
        using reference = KXMLNode &;

        iterator() : m_list(nullptr), m_index(0), m_length(0) {}
        iterator(KXMLNodeList *list, long index);

        bool operator==(const iterator &other) const { return m_index == other.m_index; }
        bool operator!=(const iterator &other) const { return m_index != other.m_index; }
        iterator &operator++() {
            if (m_index < m_length)
                ++m_index;
            return *this;
        }
        iterator operator++(int) {
            iterator before = *this;
            ++*this;
            return before;
        }
        KXMLNode &operator*();
        KXMLNode *operator->() { return &**this; }

      private:
        KXMLNodeList *m_list;
        long m_index;
        long m_length;
        KXMLNode m_current;
    };

    KXMLNodeList() {}
    explicit KXMLNodeList(IXMLDOMNodeList *p) : KXMLDOMBaseT<IXMLDOMNodeList>(p) {}

    KXMLNode item(long index);
    long length();
    iterator begin();
    iterator end();
};

class KXMLNamedNodeMap : public internal::KXMLDOMBaseT<IXMLDOMNamedNodeMap> {
  public:
    KXMLNamedNodeMap() {}
    explicit KXMLNamedNodeMap(IXMLDOMNamedNodeMap *p) : KXMLDOMBaseT<IXMLDOMNamedNodeMap>(p) {}

    KXMLNode getNamedItem(const std::wstring &name);
    // The attribute's text, or "" when it is absent.
    std::wstring getNamedItemText(const std::wstring &name);
};

} // namespace lx_xml
