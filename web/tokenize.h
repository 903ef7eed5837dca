#pragma once

#include <string>
#include <vector>

// NUL counts as a delimiter for every set.
bool IsDelimiter(char c, const std::string& delimiters);

// Appends the tokens of text to tokens. A token that begins with a double
// quote runs to the next double quote, delimiters and all.
void Tokenize(std::vector<std::string>& tokens, const std::string& text, const std::string& delimiters);
