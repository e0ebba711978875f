#include "JobText.h"

#include <vector>

#include "service/Text.h"

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
            size_t start = p;
            while (p < n && static_cast<unsigned char>(text[p]) > ' ' && text[p] != '|') ++p;
            item = text.substr(start, p - start);
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
}

namespace {

// One "key=value" item as the reader takes it back: in double quotes, with
// its quotes doubled, when the value holds a blank, a control character or
// a "|", which would otherwise end it.
std::string Item(const char* key, const std::string& value) {
    std::string item = std::string(key) + "=" + value;
    bool plain = true;
    for (char c : value)
        if (static_cast<unsigned char>(c) <= ' ' || c == '|') plain = false;
    return plain ? item : "\"" + StringReplace(item, "\"", "\"\"") + "\"";
}

}  // namespace

std::string JobDescription(const std::string& name, const std::string& version, const std::string& target) {
    // Module names may hold blanks, versions are the client's and the
    // server's texts: plain values keep the plain form of older jobs.
    return Format("%s|%s|%s", {Item("Name", name), Item("Version", version), Item("Target", target)});
}

}  // namespace zel
