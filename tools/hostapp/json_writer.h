// Small JSON text builder for hostapp's report: objects, arrays, numbers, booleans and
// UTF-16 strings (written as UTF-8). Commas are placed automatically.
#pragma once

#include <string>
#include <vector>

class JsonWriter {
  public:
    void beginObject() { open('{'); }
    void endObject() { close('}'); }
    void beginArray() { open('['); }
    void endArray() { close(']'); }

    // Starts a member of the current object; the next value call gives its value.
    void key(const char *name) {
        separator();
        appendQuoted(name);
        m_out += ':';
        m_afterKey = true;
    }

    void str(const std::wstring &text) {
        separator();
        appendQuoted(toUtf8(text));
    }
    void str(const char *text) {
        separator();
        appendQuoted(text);
    }
    void num(long long v) {
        separator();
        m_out += std::to_string(v);
    }
    void unum(unsigned long long v) {
        separator();
        m_out += std::to_string(v);
    }
    void boolean(bool v) {
        separator();
        m_out += v ? "true" : "false";
    }
    void null() {
        separator();
        m_out += "null";
    }
    // Inserts text that is already a complete JSON value.
    void raw(const std::string &json) {
        separator();
        m_out += json;
    }

    const std::string &text() const { return m_out; }

    static std::string toUtf8(const std::wstring &s) {
        std::string out;
        out.reserve(s.size());
        for (size_t i = 0; i < s.size(); ++i) {
            unsigned long c = static_cast<unsigned short>(s[i]);
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size()) {
                unsigned long lo = static_cast<unsigned short>(s[i + 1]);
                if (lo >= 0xDC00 && lo <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                    ++i;
                }
            }
            if (c >= 0xD800 && c <= 0xDFFF)
                c = 0xFFFD; // lone surrogate
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else if (c < 0x800) {
                out += static_cast<char>(0xC0 | (c >> 6));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                out += static_cast<char>(0xE0 | (c >> 12));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                out += static_cast<char>(0xF0 | (c >> 18));
                out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        return out;
    }

  private:
    void open(char c) {
        separator();
        m_out += c;
        m_first.push_back(true);
    }
    void close(char c) {
        m_out += c;
        if (!m_first.empty())
            m_first.pop_back();
    }
    void separator() {
        if (m_afterKey) {
            m_afterKey = false;
            return;
        }
        if (!m_first.empty()) {
            if (!m_first.back())
                m_out += ',';
            m_first.back() = false;
        }
    }
    void appendQuoted(const std::string &utf8) {
        static const char hex[] = "0123456789abcdef";
        m_out += '"';
        for (unsigned char c : utf8) {
            switch (c) {
            case '"':
                m_out += "\\\"";
                break;
            case '\\':
                m_out += "\\\\";
                break;
            case '\n':
                m_out += "\\n";
                break;
            case '\r':
                m_out += "\\r";
                break;
            case '\t':
                m_out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    m_out += "\\u00";
                    m_out += hex[c >> 4];
                    m_out += hex[c & 15];
                } else {
                    m_out += static_cast<char>(c);
                }
            }
        }
        m_out += '"';
    }

    std::string m_out;
    std::vector<bool> m_first;
    bool m_afterKey = false;
};
