// The menu template loader. Both forms are read item by item, each read
// checked against the template's length first; a submenu is read by a
// nested call, at most TRAY_MENU_MAX_DEPTH deep.
//
// Standard form: a header of two 16-bit words (version 0, the offset of the
// first item from the header's end), then per item an option word, a 16-bit
// identifier unless the item opens a submenu, and the NUL-terminated UTF-16
// text. A submenu's items follow its item; the last item of each menu has
// the end mark.
//
// Extended form: version 1, the offset of the first item from the end of
// the offset word, a 32-bit help identifier; then per item, each on a
// 4-byte boundary of the template: type, state and identifier (32 bits
// each), a 16-bit word with the submenu and end marks, the NUL-terminated
// text, and for an item that opens a submenu a 32-bit help identifier
// (again on a 4-byte boundary) before the submenu's items.
#include "tray/tray_menu.h"

#include <stdlib.h>
#include <string.h>

namespace {

// Option word of the standard form.
constexpr uint32_t kGrayed = 0x01;
constexpr uint32_t kDisabled = 0x02;
constexpr uint32_t kChecked = 0x08;
constexpr uint32_t kPopup = 0x10;
constexpr uint32_t kMenuBarBreak = 0x20;
constexpr uint32_t kMenuBreak = 0x40;
constexpr uint32_t kEnd = 0x80;
constexpr uint32_t kSeparator = 0x800;
// Type and state of the extended form (the breaks and the separator have
// the values of the option word).
constexpr uint32_t kTypeRadio = 0x200;
constexpr uint32_t kStateGrayed = 0x03;
constexpr uint32_t kStateChecked = 0x08;
constexpr uint32_t kStateDefault = 0x1000;
constexpr uint32_t kExPopup = 0x01;
constexpr uint32_t kExEnd = 0x80;

// Longer results are not menus a script means: nothing is shown.
constexpr size_t kMaxBytes = 4u << 20;

char kEmpty[] = "";

uint32_t u16(const unsigned char* p) { return p[0] | static_cast<uint32_t>(p[1]) << 8; }
uint32_t u32(const unsigned char* p) { return u16(p) | u16(p + 2) << 16; }


struct Loader {
    const unsigned char* bytes;
    size_t length;
    bool extended;
    TrayMenuItem* items;  // room for `capacity` items
    uint32_t count;
    uint32_t capacity;
    char* text;  // room for every text: 3 bytes per code unit and a NUL per item
    size_t text_used;

    TrayMenuItem* new_item() {
        if (count >= capacity) return nullptr;
        TrayMenuItem* item = &items[count++];
        memset(item, 0, sizeof *item);
        return item;
    }

    // The text at *pos, up to its NUL unit, which must lie within the template.
    bool read_text(size_t* pos, TrayMenuItem* item) {
        size_t end = *pos;
        for (;;) {
            if (end > length || length - end < 2) return false;
            if (u16(bytes + end) == 0) break;
            end += 2;
        }
        char* out = text + text_used;
        size_t n = tray_utf16_to_utf8(bytes + *pos, (end - *pos) / 2, out);
        out[n] = 0;
        text_used += n + 1;
        item->label = out;
        item->accelerator = tray_menu_split_label(out);
        *pos = end + 2;
        return true;
    }

    // One menu level, from *pos through its item with the end mark.
    bool level(size_t* pos, int depth, const TrayMenuItem** first) {
        if (depth > TRAY_MENU_MAX_DEPTH) return false;
        TrayMenuItem* last = nullptr;
        for (;;) {
            TrayMenuItem* item = new_item();
            if (!item) return false;
            bool popup;
            bool end;
            bool separator;
            if (!extended) {
                if (*pos > length || length - *pos < 2) return false;
                uint32_t option = u16(bytes + *pos);
                *pos += 2;
                popup = option & kPopup;
                end = option & kEnd;
                if (!popup) {
                    if (length - *pos < 2) return false;
                    item->id = u16(bytes + *pos);
                    *pos += 2;
                }
                if (!read_text(pos, item)) return false;
                if (option & (kGrayed | kDisabled)) item->flags |= TRAY_MENU_GRAYED;
                if (option & kChecked) item->flags |= TRAY_MENU_CHECKED;
                if (option & (kMenuBreak | kMenuBarBreak)) item->flags |= TRAY_MENU_COLUMN_BREAK;
                // A command item without text is a separator, as resource
                // compilers write one. An item that opens a submenu is
                // never a separator.
                separator = !popup && ((option & kSeparator) || (!item->label[0] && !item->accelerator[0]));
            } else {
                *pos = (*pos + 3) & ~static_cast<size_t>(3);
                if (*pos > length || length - *pos < 14) return false;
                uint32_t type = u32(bytes + *pos);
                uint32_t state = u32(bytes + *pos + 4);
                item->id = u32(bytes + *pos + 8) & 0xFFFF;
                uint32_t marks = u16(bytes + *pos + 12);
                *pos += 14;
                if (!read_text(pos, item)) return false;
                popup = marks & kExPopup;
                end = marks & kExEnd;
                if (popup) {
                    *pos = (*pos + 3) & ~static_cast<size_t>(3);
                    if (*pos > length || length - *pos < 4) return false;
                    *pos += 4;
                }
                if (state & kStateGrayed) item->flags |= TRAY_MENU_GRAYED;
                if (state & kStateChecked) item->flags |= TRAY_MENU_CHECKED;
                if (state & kStateDefault) item->flags |= TRAY_MENU_DEFAULT;
                if (type & kTypeRadio) item->flags |= TRAY_MENU_RADIO;
                if (type & (kMenuBreak | kMenuBarBreak)) item->flags |= TRAY_MENU_COLUMN_BREAK;
                separator = (type & kSeparator) && !popup;
            }
            if (separator) {
                item->flags = TRAY_MENU_SEPARATOR | (item->flags & TRAY_MENU_COLUMN_BREAK);
                item->label = kEmpty;
                item->accelerator = kEmpty;
                item->id = 0;
            }
            if (popup) {
                item->flags |= TRAY_MENU_POPUP;
                if (!level(pos, depth + 1, &item->children)) return false;
            }
            if (last) {
                last->next = item;
            } else {
                *first = item;
            }
            last = item;
            if (end) return true;
        }
    }
};

}  // namespace

size_t tray_utf16_to_utf8(const unsigned char* in, size_t units, char* out) {
    auto* o = reinterpret_cast<unsigned char*>(out);
    size_t n = 0;
    for (size_t i = 0; i < units; i++) {
        uint32_t c = u16(in + 2 * i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && u16(in + 2 * i + 2) >= 0xDC00 && u16(in + 2 * i + 2) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (u16(in + 2 * i + 2) - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            o[n++] = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            o[n++] = static_cast<unsigned char>(0xC0 | c >> 6);
            o[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            o[n++] = static_cast<unsigned char>(0xE0 | c >> 12);
            o[n++] = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
            o[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            o[n++] = static_cast<unsigned char>(0xF0 | c >> 18);
            o[n++] = static_cast<unsigned char>(0x80 | (c >> 12 & 0x3F));
            o[n++] = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
            o[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    return n;
}

TrayMenu* tray_menu_load(const void* bytes, size_t length) {
    if (!bytes || length < 4 || length > kMaxBytes) return nullptr;
    const auto* b = static_cast<const unsigned char*>(bytes);
    uint32_t version = u16(b);
    if (version > 1 || (version == 1 && length < 8)) return nullptr;
    // Each item takes at least 4 bytes; its text at most 3 bytes per 2.
    size_t capacity = length / 4 + 1;
    if (capacity > TRAY_MENU_MAX_ITEMS) capacity = TRAY_MENU_MAX_ITEMS;
    size_t text_size = length / 2 * 3 + capacity;
    auto* menu = static_cast<TrayMenu*>(malloc(sizeof(TrayMenu) + capacity * sizeof(TrayMenuItem) + text_size));
    if (!menu) return nullptr;
    Loader loader = {b,
                     length,
                     version == 1,
                     reinterpret_cast<TrayMenuItem*>(menu + 1),
                     0,
                     static_cast<uint32_t>(capacity),
                     reinterpret_cast<char*>(reinterpret_cast<TrayMenuItem*>(menu + 1) + capacity),
                     0};
    size_t pos = 4 + u16(b + 2);
    menu->items = nullptr;
    if (!loader.level(&pos, 1, &menu->items)) {
        free(menu);
        return nullptr;
    }
    menu->count = loader.count;
    return menu;
}

void tray_menu_free(TrayMenu* menu) { free(menu); }

const TrayMenuItem* tray_menu_shown(const TrayMenu* menu) {
    if (!menu || !menu->items || !(menu->items->flags & TRAY_MENU_POPUP)) return nullptr;
    return menu->items->children;
}

const char* tray_menu_split_label(char* text) {
    char* tab = strchr(text, '\t');
    if (!tab) return kEmpty;
    *tab = 0;
    return tab + 1;
}
