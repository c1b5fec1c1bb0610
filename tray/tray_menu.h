// The popup menu's template, loaded into a plain menu tree that a desktop
// backend can show. The script hands over a menu template in the in-memory
// form of the menu resource: the standard form (version 0) or the extended
// form (version 1, which also carries a default item and radio checks).
// The loader reads only within the given length and rejects anything it
// cannot read completely; it needs no toolkit and allocates one block.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/tray.h"

// Limits: submenus nest at most this deep (the top level is depth 1), and a
// template holds at most this many items.
constexpr int TRAY_MENU_MAX_DEPTH = 16;
constexpr uint32_t TRAY_MENU_MAX_ITEMS = 8192;

// The items and their flags (TRAY_MENU_*) are those of the backend interface.
struct TrayMenu {
    const TrayMenuItem* items;  // the template's top level
    uint32_t count;             // items in the whole tree
};

// Loads the template of `length` bytes. Null for anything that is not a
// complete template within those bytes: too short, an unknown version, a
// truncated item or text, a menu level without its end mark, submenus
// nested deeper than TRAY_MENU_MAX_DEPTH or more than TRAY_MENU_MAX_ITEMS
// items. Bytes after the top level's last item are ignored. The result is
// one block: free it with tray_menu_free.
TrayMenu* tray_menu_load(const void* bytes, size_t length);
void tray_menu_free(TrayMenu* menu);

// UTF-16LE code units to UTF-8; a surrogate that is not part of a pair
// becomes U+FFFD. Writes at most 3 bytes per unit; returns the bytes written.
size_t tray_utf16_to_utf8(const unsigned char* in, size_t units, char* out);

// The items that the popup shows: the submenu of the template's first
// top-level item (its own text is never shown). Null when there is nothing
// to show: no menu, or a first item that is not a popup.
const TrayMenuItem* tray_menu_shown(const TrayMenu* menu);

// Splits a NUL-terminated item text in place at its first tab: the text
// becomes the label, which keeps the '&' mnemonics as the desktop's toolkit
// shows them (underlined, "&&" as a literal '&'); the returned accelerator
// text is what followed the tab ("&Open\tCtrl+O": "&Open" and "Ctrl+O"),
// shown right-aligned beside the label. "" when the text has no tab.
const char* tray_menu_split_label(char* text);
