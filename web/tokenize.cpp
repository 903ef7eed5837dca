#include "web/tokenize.h"

bool IsDelimiter(char c, const std::string& delimiters) {
    return c == '\0' || delimiters.find(c) != std::string::npos;
}

void Tokenize(std::vector<std::string>& tokens, const std::string& text, const std::string& delimiters) {
    const size_t n = text.size();
    for (size_t pos = 0; pos < n;) {
        while (pos < n && IsDelimiter(text[pos], delimiters)) pos++;
        if (pos >= n) return;
        size_t end = pos + 1;
        if (text[pos] == '"') {
            pos++;
            while (end < n && text[end] != '"' && text[end] != '\0') end++;
        } else {
            while (end < n && !IsDelimiter(text[end], delimiters)) end++;
        }
        tokens.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
}
