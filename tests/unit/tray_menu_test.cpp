// The popup menu's template loader on valid and damaged templates of both
// forms, the label split, and the templates that perl/Nimbrel.pm builds.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tests/support/proc_util.h"
#include "tray/tray_menu.h"

namespace {

// Template writers. Standard form: option word, identifier unless a
// submenu, text.
struct Template {
    std::string b;
    bool extended;
    explicit Template(bool ex = false, uint16_t offset = 0) : extended(ex) {
        w16(ex ? 1 : 0);
        w16(ex ? offset + 4 : offset);
        if (ex) w32(0);
        b.append(offset, '\0');
    }
    void w16(uint32_t v) { b += static_cast<char>(v & 0xFF), b += static_cast<char>(v >> 8 & 0xFF); }
    void w32(uint32_t v) { w16(v & 0xFFFF), w16(v >> 16); }
    void text(const std::u16string& t) {
        for (char16_t c : t) w16(c);
        w16(0);
    }
    void align() { b.append(-b.size() % 4, '\0'); }
    Template& item(uint16_t option, uint16_t id, const std::u16string& t) {
        w16(option);
        if (!(option & 0x10)) w16(id);
        text(t);
        return *this;
    }
    // Extended form: marks 0x01 opens a submenu, 0x80 ends the menu.
    Template& ex(uint32_t type, uint32_t state, uint32_t id, uint16_t marks, const std::u16string& t) {
        align();
        w32(type), w32(state), w32(id), w16(marks);
        text(t);
        if (marks & 1) align(), w32(0);
        return *this;
    }
};

// The tree as text: "label+accelerator#id flags" per item, submenus in
// braces, separators as "-".
std::string dump(const TrayMenuItem* item) {
    std::string s;
    for (; item; item = item->next) {
        if (!s.empty()) s += ", ";
        if (item->flags & TRAY_MENU_SEPARATOR) {
            s += "-";
        } else {
            s += item->label;
            if (*item->accelerator) s += std::string("+") + item->accelerator;
            if (item->id) s += "#" + std::to_string(item->id);
        }
        std::string f;
        const char letters[] = "GCRDSB";
        for (int bit = 0; bit < 6; bit++)
            if (item->flags & (1u << bit) && bit != 4) f += letters[bit];
        if (!f.empty()) s += " " + f;
        if (item->children) s += "{" + dump(item->children) + "}";
    }
    return s;
}

// Loads from a heap copy of exactly the bytes, so that AddressSanitizer
// sees any read past them. "null" when the loader refuses.
std::string load(const std::string& bytes, bool shown = false) {
    void* copy = malloc(bytes.size() ? bytes.size() : 1);
    memcpy(copy, bytes.data(), bytes.size());
    TrayMenu* menu = tray_menu_load(copy, bytes.size());
    std::string s = !menu ? "null" : shown ? dump(tray_menu_shown(menu)) : dump(menu->items);
    tray_menu_free(menu);
    free(copy);
    return s;
}

const std::string kExpected = "&Open+Ctrl+O#1, -, Gray#2 G, Check#3 CB, Sub{Deep#4}";

Template standard_menu() {
    Template t;
    t.item(0x10 | 0x80, 0, u"Menu")
        .item(0, 1, u"&Open\tCtrl+O")
        .item(0, 0, u"")
        .item(0x01, 2, u"Gray")
        .item(0x08 | 0x40, 3, u"Check")
        .item(0x10 | 0x80, 0, u"Sub")
        .item(0x80, 4, u"Deep");
    return t;
}

Template extended_menu() {
    Template t(true);
    t.ex(0, 0, 0, 0x81, u"Menu")
        .ex(0, 0x1000, 1, 0, u"&Open\tCtrl+O")
        .ex(0x800, 0, 0, 0, u"")
        .ex(0, 0x3, 2, 0, u"Gray")
        .ex(0x200 | 0x20, 0x8, 0x10003, 0, u"Radio")
        .ex(0, 0, 0, 0x81, u"Sub")
        .ex(0, 0, 4, 0x80, u"Deep");
    return t;
}

// Submenus nested `levels` deep below the top level.
Template nested(int levels) {
    Template t;
    for (int i = 0; i < levels; i++) t.item(0x90, 0, u"P");
    t.item(0x80, 1, u"x");
    return t;
}

TEST(TrayMenu, ValidTemplates) {
    Template offset(false, 2);
    offset.item(0x90, 0, u"M").item(0x80, 7, u"Gr\u00fc\u00dfe \U0001F600");
    Template odd = standard_menu();
    odd.b += 'x';
    Template lone;
    lone.item(0x90, 0, u"M").item(0x80, 5, std::u16string(u"a") + char16_t(0xD800) + u"b");
    Template plain;
    plain.item(0x80, 9, u"Only");
    Template flagged_separator;
    flagged_separator.item(0x90, 0, u"M").item(0x800 | 0x80, 3, u"text");
    Template separator_popup;
    separator_popup.item(0x90, 0, u"M").item(0x800 | 0x90, 0, u"S").item(0x80, 1, u"x");
    struct Case {
        std::string bytes, tree;
        bool shown;
    } cases[] = {
        {standard_menu().b, kExpected, true},
        {standard_menu().b, "Menu{" + kExpected + "}", false},
        {extended_menu().b, "&Open+Ctrl+O#1 D, -, Gray#2 G, Radio#3 CRB, Sub{Deep#4}", true},
        {offset.b, "Gr\u00fc\u00dfe \U0001F600#7", true},
        {odd.b, kExpected, true},  // bytes after the end are ignored
        {lone.b, "a\uFFFDb#5", true},
        {flagged_separator.b, "-", true},
        {separator_popup.b, "S{x#1}", true},
        // A plain command as the first top-level item: nothing to show.
        {plain.b, "Only#9", false},
        {plain.b, "", true},
        {nested(15).b, "P{P{P{P{P{P{P{P{P{P{P{P{P{P{P{x#1}}}}}}}}}}}}}}}", false},
    };
    for (const Case& c : cases) EXPECT_EQ(load(c.bytes, c.shown), c.tree) << c.tree;
}

TEST(TrayMenu, DamagedTemplatesGiveNothing) {
    Template no_end;
    no_end.item(0x90, 0, u"M").item(0, 1, u"a");
    Template popup_without_children;
    popup_without_children.item(0x90, 0, u"M");
    Template version2 = standard_menu();
    version2.b[0] = 2;
    Template far_offset = standard_menu();
    far_offset.b[2] = 0x7F;
    Template many;
    many.item(0x90, 0, u"M");
    for (uint32_t i = 2; i < TRAY_MENU_MAX_ITEMS; i++) many.item(0, 1, u"");
    Template too_many = many;
    many.item(0x80, 1, u"");
    too_many.item(0, 1, u"").item(0x80, 1, u"");
    Template odd_text;
    odd_text.item(0x90, 0, u"M");
    odd_text.b += std::string("\x80\0\x01\0a", 5);
    for (const std::string& bytes : {std::string(), std::string("\0\0\0", 3), std::string(4, '\0'), version2.b, far_offset.b, no_end.b,
                                     popup_without_children.b, nested(16).b, too_many.b, odd_text.b})
        EXPECT_EQ(load(bytes), "null") << bytes.size();
    EXPECT_NE(load(many.b), "null");
    // Every cut of a valid template is incomplete: none reads past its end.
    for (const std::string& bytes : {standard_menu().b, extended_menu().b})
        for (size_t n = 0; n < bytes.size(); n++) EXPECT_EQ(load(bytes.substr(0, n)), "null") << n;
}

TEST(TrayMenu, LabelsKeepMnemonicsAndLoseTheAcceleratorText) {
    const char* cases[][3] = {
        {"&Open\tCtrl+O", "&Open", "Ctrl+O"}, {"A&&B", "A&&B", ""}, {"x\ty\tz", "x", "y\tz"}, {"\tF1", "", "F1"}, {"", "", ""},
    };
    for (auto& c : cases) {
        std::string text = c[0];
        const char* accelerator = tray_menu_split_label(text.data());
        EXPECT_STREQ(text.c_str(), c[1]);
        EXPECT_STREQ(accelerator, c[2]);
    }
}

// The glue library's menu description, built into a template by perl with
// the host's _WideChar stood in, loads as the tree it describes.
TEST(TrayMenu, TheLibrarysTemplatesLoad) {
    const std::string script = R"(
        sub Nimbrel::_WideChar { pack 'v*', unpack 'U*', $_[0] }
        require Nimbrel; Nimbrel->import;
        SetMenu([['&Open', sub { }], '-', ['More', [['Item', 'name', disabled => 1], ['Checked', sub { }, checked => 1],
            ['One', sub { }, radio => 1, checked => 1], ['Two', sub { }, radio => 1]]],
            ["&Quit\tCtrl+Q", sub { exit 0 }, default => 1]]);
        binmode STDOUT; print Nimbrel::PopupMenu();)";
    ProcResult r = run_process({"/usr/bin/perl", "-I", std::string(KV_SOURCE_DIR) + "/perl", "-e", script});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(load(r.out, true), "&Open#1, -, More{Item#2 G, Checked#3 C, One#4 CR, Two#5 R}, &Quit+Ctrl+Q#6 D");
}

}  // namespace
