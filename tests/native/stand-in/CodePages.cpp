// The code pages of the target machines, table-driven: 1251 (ANSI), 866
// (OEM) and UTF-8, with the behaviour of the Windows conversions that the
// units rely on: the two-call size protocol, -1 for a zero-terminated text,
// "?" (or the given default) for a character the code page lacks with no
// best fit, U+FFFD for malformed UTF-8 and for a lone surrogate.
#include <windows.h>

#include <string>

namespace {

// Bytes 0x80..0xFF. 0x98, which 1251 leaves undefined, stands for U+0098 as
// on Windows, so that every byte survives a round trip.
const uint16_t Cp1251[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

const uint16_t Cp866[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,
};

const uint16_t* TableOf(UINT codePage) {
    switch (codePage) {
    case CP_ACP:
    case 1251:
        return Cp1251;
    case CP_OEMCP:
    case 866:
        return Cp866;
    default:
        return nullptr;
    }
}

// UTF-8 to code points, one U+FFFD for each maximal ill-formed subsequence.
void DecodeUtf8(const unsigned char* s, size_t n, std::u16string& out) {
    size_t i = 0;
    while (i < n) {
        unsigned c = s[i];
        if (c < 0x80) {
            out += static_cast<char16_t>(c);
            ++i;
            continue;
        }
        int need;
        unsigned cp, lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) need = 1, cp = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF) {
            need = 2, cp = c & 0x0F;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3, cp = c & 0x07;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            out += u'\xFFFD';
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool ok = true;
        for (int k = 0; k < need; ++k, ++j) {
            unsigned b = j < n ? s[j] : 0;
            if (j >= n || b < lo || b > hi) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
            lo = 0x80, hi = 0xBF;
        }
        if (!ok) {
            out += u'\xFFFD';
            i = j;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i = j;
    }
}

void EncodeUtf8(const wchar_t* w, size_t n, std::string& out) {
    for (size_t i = 0; i < n; ++i) {
        unsigned long u = static_cast<unsigned long>(w[i]) & 0xFFFFFFFFul;
        unsigned long cp = u;
        if (u > 0xFFFF) {
            cp = 0xFFFD;  // no such code unit in UTF-16
        } else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
            unsigned long v = static_cast<unsigned long>(w[i + 1]) & 0xFFFFFFFFul;
            if (v >= 0xDC00 && v <= 0xDFFF) {
                cp = 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00);
                ++i;
            } else {
                cp = 0xFFFD;
            }
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int size, LPWSTR wide, int wideSize) {
    (void)flags;
    if (!text || size == 0 || wideSize < 0 || (wideSize > 0 && !wide)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = size < 0 ? strlen(text) + 1 : static_cast<size_t>(size);
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    std::u16string out;
    if (codePage == CP_UTF8) {
        DecodeUtf8(s, n, out);
    } else if (const uint16_t* table = TableOf(codePage)) {
        for (size_t i = 0; i < n; ++i) out += static_cast<char16_t>(s[i] < 0x80 ? s[i] : table[s[i] - 0x80]);
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (wideSize == 0) return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(wideSize)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (size_t i = 0; i < out.size(); ++i) wide[i] = static_cast<wchar_t>(out[i]);
    return static_cast<int>(out.size());
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int size, LPSTR text, int textSize,
                        LPCSTR defaultChar, LPBOOL usedDefault) {
    (void)flags;
    if (!wide || size == 0 || textSize < 0 || (textSize > 0 && !text)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = size < 0 ? wcslen(wide) + 1 : static_cast<size_t>(size);
    std::string out;
    if (usedDefault) *usedDefault = FALSE;
    if (codePage == CP_UTF8) {
        if (defaultChar || usedDefault) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        EncodeUtf8(wide, n, out);
    } else if (const uint16_t* table = TableOf(codePage)) {
        const char fallback = defaultChar ? *defaultChar : '?';
        for (size_t i = 0; i < n; ++i) {
            unsigned long u = static_cast<unsigned long>(wide[i]) & 0xFFFFFFFFul;
            int byte = u < 0x80 ? static_cast<int>(u) : -1;
            for (int k = 0; byte < 0 && k < 128; ++k)
                if (table[k] == u) byte = 0x80 + k;
            if (byte < 0) {
                byte = static_cast<unsigned char>(fallback);
                if (usedDefault) *usedDefault = TRUE;
            }
            out += static_cast<char>(byte);
        }
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (textSize == 0) return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(textSize)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(text, out.data(), out.size());
    return static_cast<int>(out.size());
}
