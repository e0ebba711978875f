#include "JobText.h"

#include <vector>

#include "base/Text.h"

namespace zel {

void ParseDescriptionText(const std::string& text, TJobInfo& info) {
    auto blank = [](char c) { return c != '\0' && static_cast<unsigned char>(c) <= ' '; };
    std::vector<std::string> items;
    const size_t n = text.size();
    size_t p = 0;
    while (p < n && blank(text[p])) ++p;
    while (p < n && text[p] != '\0') {
        std::string item;
        if (text[p] == '"') {
            // A quoted item; a doubled quote stands for one quote.
            ++p;
            while (p < n) {
                if (text[p] == '"') {
                    if (p + 1 < n && text[p + 1] == '"') {
                        item += '"';
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                item += text[p++];
            }
        } else {
            // Up to the next bar: blanks inside belong to the value.
            size_t start = p;
            while (p < n && text[p] != '|' && text[p] != '\0') ++p;
            size_t end = p;
            while (end > start && blank(text[end - 1])) --end;
            item = text.substr(start, end - start);
        }
        items.push_back(item);
        while (p < n && blank(text[p])) ++p;
        if (p < n && text[p] == '|') {
            if (p + 1 == n) items.push_back(std::string());
            do
                ++p;
            while (p < n && blank(text[p]));
        }
    }
    auto value = [&items](const char* key) {
        for (const std::string& item : items) {
            size_t eq = item.find('=');
            if (eq != std::string::npos && SameText(item.substr(0, eq), key)) return item.substr(eq + 1);
        }
        return std::string();
    };
    info.Name = value("Name");
    info.Version = value("Version");
    info.Target = value("Target");
    info.Owner = value("Owner");
}

namespace {

// One "key=value" item as the reader takes it back: in double quotes, with
// its quotes doubled, when the value holds a control character, a "|" or a
// quote, or begins or ends with a blank, which the reader would change.
std::string Item(const char* key, const std::string& value) {
    std::string item = std::string(key) + "=" + value;
    bool plain = value.empty() || (value.front() != ' ' && value.back() != ' ');
    for (char c : value)
        if (static_cast<unsigned char>(c) < ' ' || c == '|' || c == '"') plain = false;
    return plain ? item : "\"" + StringReplace(item, "\"", "\"\"") + "\"";
}

}  // namespace

std::string JobDescription(const std::string& name, const std::string& version, const std::string& target,
                           const std::string& owner) {
    // Plain values keep the plain form of older jobs.
    std::string text = Format("%s|%s|%s", {Item("Name", name), Item("Version", version), Item("Target", target)});
    if (!owner.empty()) text += "|" + Item("Owner", owner);
    return text;
}

}  // namespace zel
