// Fuzzer for the popup menu's template loader: the input is taken as a
// template of exactly its length. Besides the sanitizers' findings it traps
// when a loaded tree contradicts itself: more items than it counts, a
// submenu deeper than the limit, a separator with a label or an
// identifier, a label that still holds a tab.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "tray/tray_menu.h"

namespace {

uint32_t walk(const TrayMenuItem* item, int depth) {
    uint32_t n = 0;
    for (; item; item = item->next) {
        if (depth > TRAY_MENU_MAX_DEPTH) __builtin_trap();
        n++;
        if (!item->label || !item->accelerator || strchr(item->label, '\t')) __builtin_trap();
        if ((item->flags & TRAY_MENU_SEPARATOR) && (item->label[0] || item->id || item->children)) __builtin_trap();
        if (!(item->flags & TRAY_MENU_POPUP) != !item->children) __builtin_trap();
        n += walk(item->children, depth + 1);
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto* copy = static_cast<unsigned char*>(malloc(size ? size : 1));
    if (size) memcpy(copy, data, size);
    TrayMenu* menu = tray_menu_load(copy, size);
    if (menu) {
        if (!menu->items || walk(menu->items, 1) != menu->count || menu->count > TRAY_MENU_MAX_ITEMS) __builtin_trap();
        const TrayMenuItem* shown = tray_menu_shown(menu);
        if (shown && shown != menu->items->children) __builtin_trap();
    }
    tray_menu_free(menu);
    free(copy);
    return 0;
}
