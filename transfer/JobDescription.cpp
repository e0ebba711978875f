// The description text of a module's job: "Name=%s|Version=%s|Target=%s",
// the form that the jobs kept by BITS and the programs that read them know,
// with "|Owner=%s" after it when the module's registrant is known. Readers
// of the older form look their keys up by name and pass over the owner; a
// description without one reads as a registration of no known owner.
#include <string>
#include <vector>

#include "BITS.h"

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
    info.Owner = value("Owner");
}

std::string JobDescription(const std::string& name, const std::string& version, const std::string& target,
                           const std::string& owner) {
    std::string text = Format("Name=%s|Version=%s|Target=%s", {name, version, target});
    if (!owner.empty()) text += Format("|Owner=%s", {owner});
    return text;
}

}  // namespace zel
