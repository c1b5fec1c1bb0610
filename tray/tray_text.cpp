// Script strings as the desktop takes them. A script value is a string of
// characters: flagged as UTF-8, its bytes are UTF-8; otherwise each byte is
// one character (Latin-1). The icon record holds UTF-8, the menu texts
// UTF-16 little-endian.
#include <string.h>

#include "tray/tray_state.h"

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

// The character at p (n > 0 bytes left) and the bytes it takes. Malformed
// input (a stray or missing continuation byte, an overlong form, a
// surrogate, a value above U+10FFFF) gives U+FFFD for its first byte.
uint32_t next_char(const unsigned char* p, size_t n, bool utf8, size_t* used) {
    *used = 1;
    if (!utf8 || p[0] < 0x80) return p[0];
    int extra;
    uint32_t c;
    uint32_t least;
    if ((p[0] & 0xE0) == 0xC0) {
        extra = 1, c = p[0] & 0x1Fu, least = 0x80;
    } else if ((p[0] & 0xF0) == 0xE0) {
        extra = 2, c = p[0] & 0x0Fu, least = 0x800;
    } else if ((p[0] & 0xF8) == 0xF0) {
        extra = 3, c = p[0] & 0x07u, least = 0x10000;
    } else {
        return kReplacement;
    }
    if (n <= static_cast<size_t>(extra)) return kReplacement;
    for (int i = 1; i <= extra; i++) {
        if ((p[i] & 0xC0) != 0x80) return kReplacement;
        c = c << 6 | (p[i] & 0x3Fu);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return kReplacement;
    *used = static_cast<size_t>(extra) + 1;
    return c;
}

size_t utf8_length(uint32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

void put_utf8(char* out, uint32_t c) {
    auto* o = reinterpret_cast<unsigned char*>(out);
    switch (utf8_length(c)) {
        case 1:
            o[0] = static_cast<unsigned char>(c);
            break;
        case 2:
            o[0] = static_cast<unsigned char>(0xC0 | c >> 6);
            o[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            break;
        case 3:
            o[0] = static_cast<unsigned char>(0xE0 | c >> 12);
            o[1] = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
            o[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            break;
        default:
            o[0] = static_cast<unsigned char>(0xF0 | c >> 18);
            o[1] = static_cast<unsigned char>(0x80 | (c >> 12 & 0x3F));
            o[2] = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
            o[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

size_t tray_text_to_field(char* field, size_t limit, const char* text, size_t length, bool utf8) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    size_t stored = 0;
    size_t at = 0;
    while (at < length && text) {
        size_t used;
        uint32_t c = next_char(p + at, length - at, utf8, &used);
        if (c == 0) break;  // the field is a C string
        size_t need = utf8_length(c);
        if (stored + need > limit) break;
        put_utf8(field + stored, c);
        stored += need;
        at += used;
    }
    memset(field + stored, 0, limit + 1 - stored);
    return stored;
}

namespace {
void put_unit(unsigned char* out, size_t index, uint32_t unit) {
    out[2 * index] = static_cast<unsigned char>(unit & 0xFF);
    out[2 * index + 1] = static_cast<unsigned char>(unit >> 8 & 0xFF);
}
}  // namespace

size_t tray_text_to_utf16(const char* text, size_t length, bool utf8, unsigned char* out) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    size_t units = 0;
    for (size_t at = 0; at < length;) {
        size_t used;
        uint32_t c = next_char(p + at, length - at, utf8, &used);
        at += used;
        if (c >= 0x10000) {
            if (out) {
                put_unit(out, units, 0xD800 | (c - 0x10000) >> 10);
                put_unit(out, units + 1, 0xDC00 | ((c - 0x10000) & 0x3FF));
            }
            units += 2;
        } else {
            if (out) put_unit(out, units, c);
            units++;
        }
    }
    return units;
}
