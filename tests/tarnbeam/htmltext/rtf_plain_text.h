// The text a RichEdit control holds after loading the converter's RTF, read back independently
// of the converter: groups below the top level (the font table) are skipped, \par gives a CR
// (except a \par that ends the document: the control takes it as its final paragraph mark),
// \tab a tab, \uN one UTF-16 unit (its one fallback character skipped), \\ \{ \} their
// character; other control words are formatting. Shared by the unit test and the fuzz target.
#pragma once

#include <cctype>
#include <cstdlib>
#include <string>

inline std::u16string rtfPlainText(const std::string &rtf) {
    std::u16string text;
    int depth = 0;
    std::size_t i = 0;
    while (i < rtf.size()) {
        const char c = rtf[i++];
        if (c == '{' || c == '}') {
            depth += c == '{' ? 1 : -1;
            continue;
        }
        if (c != '\\') {
            if (depth == 1)
                text += static_cast<char16_t>(static_cast<unsigned char>(c));
            continue;
        }
        if (i < rtf.size() && !std::isalpha(static_cast<unsigned char>(rtf[i]))) {
            if (depth == 1)
                text += static_cast<char16_t>(rtf[i]);
            ++i;
            continue;
        }
        const std::size_t wordStart = i;
        while (i < rtf.size() && std::isalpha(static_cast<unsigned char>(rtf[i])))
            ++i;
        const std::string word = rtf.substr(wordStart, i - wordStart);
        const std::size_t numberStart = i;
        if (i < rtf.size() && rtf[i] == '-')
            ++i;
        while (i < rtf.size() && std::isdigit(static_cast<unsigned char>(rtf[i])))
            ++i;
        const long number = std::strtol(rtf.substr(numberStart, i - numberStart).c_str(), nullptr, 10);
        if (i < rtf.size() && rtf[i] == ' ')
            ++i;
        if (depth != 1)
            continue;
        if (word == "par") {
            text += u'\r';
        } else if (word == "tab") {
            text += u'\t';
        } else if (word == "u") {
            text += static_cast<char16_t>(number & 0xFFFF);
            if (i < rtf.size())
                ++i;
        }
    }
    const std::size_t last = rtf.find_last_not_of(" }");
    if (!text.empty() && text.back() == u'\r' && last != std::string::npos && last >= 3 &&
        rtf.compare(last - 3, 4, "\\par") == 0)
        text.pop_back();
    return text;
}
