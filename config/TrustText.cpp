#include "TrustText.h"

#include <algorithm>

namespace zel {

namespace {

const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::vector<std::string> SplitEntries(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        std::string entry = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t first = 0;
        size_t last = entry.size();
        while (first < last && IsBlank(entry[first])) ++first;
        while (last > first && IsBlank(entry[last - 1])) --last;
        if (last > first) out.push_back(entry.substr(first, last - first));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

void AddOnce(std::vector<std::string>& items, const std::string& item) {
    if (std::find(items.begin(), items.end(), item) == items.end()) items.push_back(item);
}

}  // namespace

std::string Base64Encode(const std::string& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += Alphabet[(v >> 18) & 63];
        out += Alphabet[(v >> 12) & 63];
        out += Alphabet[(v >> 6) & 63];
        out += Alphabet[v & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += Alphabet[(v >> 18) & 63];
        out += Alphabet[(v >> 12) & 63];
        out += rest == 2 ? Alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool Base64Decode(const std::string& text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 4 != 0) return false;
    bytes.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++padding;
                continue;
            }
            if (padding > 0) return false;  // a letter after the padding
            v[k] = Base64Value(c);
            if (v[k] < 0) return false;
        }
        unsigned n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        bytes += static_cast<char>((n >> 16) & 0xFF);
        if (padding < 2) bytes += static_cast<char>((n >> 8) & 0xFF);
        if (padding < 1) bytes += static_cast<char>(n & 0xFF);
        // Bits that the padding leaves over must be zero: one text, one value.
        if ((padding == 1 && (n & 0xFF) != 0) || (padding == 2 && (n & 0xFFFF) != 0)) return false;
    }
    return true;
}

bool ParseHexDigest(const std::string& text, size_t bytes, std::string& digest) {
    if (text.size() != bytes * 2) return false;
    std::string out;
    for (char c : text) {
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))
            out += c;
        else if (c >= 'A' && c <= 'F')
            out += static_cast<char>(c - 'A' + 'a');
        else
            return false;
    }
    digest = out;
    return true;
}

TTrustList ParseUpdateKeys(const std::string& text) {
    TTrustList list;
    for (const std::string& entry : SplitEntries(text)) {
        list.Given = true;
        std::string point;
        if (Base64Decode(entry, point) && point.size() == 65 && point[0] == '\x04')
            AddOnce(list.Items, point);
        else
            list.Invalid.push_back(entry);
    }
    return list;
}

TTrustList ParsePublishers(const std::string& text) {
    TTrustList list;
    for (const std::string& entry : SplitEntries(text)) {
        list.Given = true;
        std::string pin;
        if (ParseHexDigest(entry, 32, pin))
            AddOnce(list.Items, pin);
        else
            list.Invalid.push_back(entry);
    }
    return list;
}

void MergeTrustList(TTrustList& into, const TTrustList& from) {
    for (const std::string& item : from.Items) AddOnce(into.Items, item);
    into.Invalid.insert(into.Invalid.end(), from.Invalid.begin(), from.Invalid.end());
    into.Given = into.Given || from.Given;
}

}  // namespace zel
