#include "ConfigText.h"

#include "base/Text.h"

namespace zel {

namespace {

// Index of the first line whose name is the key; -1 when there is none.
int FindConfigLine(const std::vector<std::string>& lines, const std::string& key) {
    for (size_t i = 0; i < lines.size(); ++i) {
        size_t eq = lines[i].find('=');
        if (eq != std::string::npos && SameText(lines[i].substr(0, eq), key)) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

std::vector<std::string> SplitConfigLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(text.substr(start, i - start));
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            start = ++i;
        } else {
            ++i;
        }
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::string ConfigValue(const std::vector<std::string>& lines, const std::string& key) {
    int i = FindConfigLine(lines, key);
    if (i < 0) return std::string();
    return lines[i].substr(lines[i].find('=') + 1);
}

std::string SetConfigValue(const std::string& text, const std::string& key, const std::string& value) {
    std::vector<std::string> lines = SplitConfigLines(text);
    int i = FindConfigLine(lines, key);
    if (i < 0)
        lines.push_back(key + "=" + value);
    else
        lines[i] = key + "=" + value;
    std::string result;
    for (const auto& line : lines) result += line + "\r\n";
    return result;
}

}  // namespace zel
