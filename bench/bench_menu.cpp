// Throughput of the popup menu's template loader: tray_menu_load followed by
// tray_menu_free on a realistic 200-item menu, in both template forms, as
// loads per second, MB of template per second and nanoseconds per item.
//
// The baseline, measured in the same run on the same bytes, is the one piece
// of work that every loader of such a template has to do: turning its whole
// UTF-16 text into UTF-8 in memory taken for it (one malloc, the conversion,
// one free). The ratio is what reading the structure and building the tree
// cost on top of that. A plain copy of the bytes (malloc, memcpy, free) is
// printed as the floor.
//
//   bench_menu [ROUNDS]            the comparison (default 5 rounds of about 0.2 s per figure)
//   bench_menu --count N FORM      N loads of the FORM ("standard" or "extended") template, for callgrind
//
// When valgrind is installed, instructions per load are counted as well (with
// callgrind, from the difference between runs with and without the loads).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tray/tray_menu.h"
#include "bench/bench_util.h"

namespace {

long long now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// ---- the templates ---------------------------------------------------------------------
// The menu of a busy tray application: 200 items below the popup that holds
// them: commands with mnemonics (every fifth with an accelerator text, some
// checked or disabled), a separator after every eight, and 6 submenus of 5
// commands.
struct Writer {
    std::string b;
    void w16(uint32_t v) { b += static_cast<char>(v & 0xFF), b += static_cast<char>(v >> 8 & 0xFF); }
    void w32(uint32_t v) { w16(v & 0xFFFF), w16(v >> 16); }
    void text(const std::string& ascii) {
        for (char c : ascii) w16(static_cast<unsigned char>(c));
        w16(0);
    }
    void align() { b.append(-b.size() % 4, '\0'); }
};

struct Item {
    std::string label;
    uint16_t id;
    bool separator, checked, grayed, last;
    int submenu;  // > 0: a submenu of that many commands
};

std::vector<Item> menu_items() {
    std::vector<Item> items;
    uint16_t id = 1;
    int total = 0;  // items so far, a submenu's included
    for (int i = 1; total < 200; i++) {
        Item it = {"", 0, false, false, false, false, 0};
        if (i % 9 == 0) {
            it.separator = true;
        } else if (i % 29 == 0 && total + 6 <= 200) {
            it.label = "&More commands " + std::to_string(i);
            it.submenu = 5;
        } else {
            it.label = "&Command number " + std::to_string(i);
            if (i % 5 == 0) it.label += "\tCtrl+Shift+" + std::to_string(i % 10);
            it.id = id++;
            it.checked = i % 7 == 0;
            it.grayed = i % 11 == 0;
        }
        total += 1 + it.submenu;
        items.push_back(it);
    }
    items.back().last = true;
    return items;
}

// Standard form: option word, identifier unless a submenu, text.
std::string standard_template() {
    Writer w;
    w.w16(0), w.w16(0);
    w.w16(0x10 | 0x80), w.text("Menu");
    uint16_t sub_id = 1000;
    for (const Item& it : menu_items()) {
        uint32_t end = it.last ? 0x80 : 0;
        if (it.separator) {
            w.w16(0x800 | end), w.w16(0), w.text("");
        } else if (it.submenu) {
            w.w16(0x10 | end), w.text(it.label);
            for (int k = 1; k <= it.submenu; k++) w.w16(k == it.submenu ? 0x80 : 0), w.w16(sub_id++), w.text("Sub&item " + std::to_string(k));
        } else {
            w.w16(end | (it.checked ? 0x08 : 0) | (it.grayed ? 0x01 : 0)), w.w16(it.id), w.text(it.label);
        }
    }
    return w.b;
}

// Extended form, as the glue library writes it (each item on a 4-byte
// boundary; a submenu's item carries a help identifier).
std::string extended_template() {
    Writer w;
    w.w16(1), w.w16(4), w.w32(0);
    auto item = [&w](uint32_t type, uint32_t state, uint32_t id, uint16_t marks, const std::string& text) {
        w.align();
        w.w32(type), w.w32(state), w.w32(id), w.w16(marks), w.text(text);
        if (marks & 1) w.align(), w.w32(0);
    };
    item(0, 0, 0, 0x81, "");
    uint16_t sub_id = 1000;
    for (const Item& it : menu_items()) {
        uint16_t end = it.last ? 0x80 : 0;
        if (it.separator) {
            item(0x800, 0, 0, end, "");
        } else if (it.submenu) {
            item(0, 0, 0, end | 1, it.label);
            for (int k = 1; k <= it.submenu; k++) item(0x200, k == 1 ? 0x8 : 0, sub_id++, k == it.submenu ? 0x80 : 0, "Sub&item " + std::to_string(k));
        } else {
            item(0, (it.checked ? 0x8 : 0) | (it.grayed ? 0x3 : 0) | (it.id == 1 ? 0x1000 : 0), it.id, end, it.label);
        }
    }
    return w.b;
}

// ---- the work ------------------------------------------------------------------------------
volatile uint32_t g_sink;

uint32_t load_once(const std::string& t) {
    TrayMenu* menu = tray_menu_load(t.data(), t.size());
    uint32_t n = menu ? menu->count : 0;
    tray_menu_free(menu);
    return n;
}

// The baseline: the template's whole text through the loader's own
// UTF-16 to UTF-8 conversion, into memory of its own.
uint32_t convert_once(const std::string& t) {
    auto* out = static_cast<char*>(malloc(t.size() / 2 * 3 + 1));
    if (!out) return 0;
    size_t n = tray_utf16_to_utf8(reinterpret_cast<const unsigned char*>(t.data()), t.size() / 2, out);
    uint32_t r = static_cast<unsigned char>(out[n / 2]);
    free(out);
    return r;
}

uint32_t copy_once(const std::string& t) {
    auto* out = static_cast<unsigned char*>(malloc(t.size()));
    if (!out) return 0;
    memcpy(out, t.data(), t.size());
    uint32_t r = out[t.size() / 2];
    free(out);
    return r;
}

// Nanoseconds per call of fn, over about `ns` nanoseconds.
double time_per_call(uint32_t (*fn)(const std::string&), const std::string& t, long long ns) {
    long calls = 0;
    uint32_t sink = 0;
    long long start = now_ns(), elapsed = 0;
    do {
        for (int i = 0; i < 256; i++) sink += fn(t);
        calls += 256;
        elapsed = now_ns() - start;
    } while (elapsed < ns);
    g_sink = sink;
    return static_cast<double>(elapsed) / static_cast<double>(calls);
}


// ---- callgrind ---------------------------------------------------------------------------

// Instructions of `self --count N form` under callgrind; -1 when not counted.
long long instructions(const char* self, const std::string& dir, long count, const char* form) {
    std::string file = dir + "/callgrind.out";
    std::string command = "valgrind -q --tool=callgrind --callgrind-out-file=" + file + " " + self + " --count " +
                          std::to_string(count) + " " + form + " >/dev/null 2>&1";
    if (system(command.c_str()) != 0) return -1;
    return callgrind_total(file);
}

int counted_loads(long count, const char* form) {
    std::string t = strcmp(form, "extended") == 0 ? extended_template() : standard_template();
    uint32_t sink = 0;
    for (long i = 0; i < count; i++) sink += load_once(t);
    g_sink = sink;
    return 0;
}

int driver(int rounds) {
    struct Form {
        const char* name;
        std::string bytes;
    } forms[] = {{"standard", standard_template()}, {"extended", extended_template()}};
    printf("menu template loader: tray_menu_load + tray_menu_free, %d rounds, medians\n", rounds);
    printf("baseline: the template's whole UTF-16 text to UTF-8 in memory of its own (malloc, convert, free)\n");
    const long long kSlice = 200000000LL;
    for (const Form& f : forms) {
        TrayMenu* menu = tray_menu_load(f.bytes.data(), f.bytes.size());
        if (!menu) {
            fprintf(stderr, "bench_menu: the %s template does not load\n", f.name);
            return 1;
        }
        uint32_t items = menu->count - 1;  // without the popup that holds them
        tray_menu_free(menu);
        std::vector<double> load_ns, convert_ns, copy_ns, ratios;
        for (int r = 0; r < rounds; r++) {
            double l = time_per_call(load_once, f.bytes, kSlice);
            double c = time_per_call(convert_once, f.bytes, kSlice);
            double m = time_per_call(copy_once, f.bytes, kSlice / 4);
            load_ns.push_back(l);
            convert_ns.push_back(c);
            copy_ns.push_back(m);
            ratios.push_back(l / c);
        }
        double l = median(load_ns), c = median(convert_ns), m = median(copy_ns);
        double mb = static_cast<double>(f.bytes.size()) / 1e6;
        printf("  %s form: %u items, %zu bytes\n", f.name, items, f.bytes.size());
        printf("    load + free        %9.0f ns  %9.0f loads/s  %7.0f MB/s  %6.1f ns/item   %.2fx the baseline (per round)\n", l, 1e9 / l,
               mb * 1e9 / l, l / items, median(ratios));
        printf("    UTF-16 to UTF-8    %9.0f ns  %9.0f /s       %7.0f MB/s\n", c, 1e9 / c, mb * 1e9 / c);
        printf("    malloc+memcpy      %9.0f ns  %9.0f /s       %7.0f MB/s\n", m, 1e9 / m, mb * 1e9 / m);
    }
    if (!have_valgrind()) {
        printf("  (valgrind is not installed: no instruction counts)\n");
        return 0;
    }
    char self[4096];
    char tmpl[] = "/tmp/kv-bench-menu-XXXXXX";
    if (!plat_exe_path(self, sizeof self) || !mkdtemp(tmpl)) return 1;
    const long kCounted = 2000;
    for (const Form& f : forms) {
        long long none = instructions(self, tmpl, 0, f.name), some = instructions(self, tmpl, kCounted, f.name);
        double per_load = static_cast<double>(some - none) / kCounted;
        if (none > 0 && some > none)
            printf("  %s form, instructions per load + free (callgrind): %.0f (%.1f per item)\n", f.name, per_load,
                   per_load / (load_once(f.bytes) - 1));
        else
            printf("  %s form: callgrind gave no count\n", f.name);
    }
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--count") == 0) return counted_loads(atol(argv[2]), argv[3]);
    int rounds = argc > 1 ? atoi(argv[1]) : 5;
    return driver(rounds < 1 ? 5 : rounds);
}
