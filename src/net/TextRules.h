#pragma once
// The blank and letter-case rules that the readers of header fields and
// proxy settings share: blanks are spaces and tabs, letter case is ASCII's.
// Text only.

#include <string_view>

inline bool IsBlank(char ch)
{
    return ch == ' ' || ch == '\t';
}

// A blank or a line break.
inline bool IsLineBlank(char ch)
{
    return IsBlank(ch) || ch == '\r' || ch == '\n';
}

inline bool IsDigit(char ch)
{
    return ch >= '0' && ch <= '9';
}

inline char Lower(char ch)
{
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

inline bool EqualsNoCase(std::string_view text, std::string_view word)
{
    if (text.size() != word.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (Lower(text[i]) != Lower(word[i]))
            return false;
    }
    return true;
}

// The text without the blanks before and after it.
inline std::string_view TrimmedBlanks(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}
