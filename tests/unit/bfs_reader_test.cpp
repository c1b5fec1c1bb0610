// Reader of the bound file system: lookup, entry reads, appended archives,
// diagnostics and damaged images. Archives here are laid out by hand with an
// independent builder, so that a fault shared by the writer and the reader
// still shows.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "src/bfs/bfs.h"
#include "src/bfs/bfs_write.h"
#include "src/launcher/diag.h"
#include "tests/support/proc_util.h"

// The allocation-failure test needs malloc to return null under
// AddressSanitizer instead of aborting the process.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

void put32(Bytes& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; i++) v[at + i] = static_cast<unsigned char>(x >> (8 * i));
}
void put16(Bytes& v, size_t at, uint16_t x) {
    v[at] = x & 0xFF;
    v[at + 1] = x >> 8;
}
uint32_t get32(const Bytes& v, size_t at) { return bfs_u32(&v[at]); }

// The name hash written out plainly: bytes count as signed values.
uint32_t ref_hash(const std::string& name) {
    uint32_t h = 0;
    for (char ch : name) {
        int b = static_cast<signed char>(ch);
        h = h * 33u + static_cast<uint32_t>(b);
    }
    return h;
}
uint32_t ref_bucket(const std::string& name, uint32_t buckets) {
    uint32_t h = ref_hash(name);
    return (h + (h >> 5)) & (buckets - 1);
}

Bytes scrambled(Bytes b) {
    for (auto& x : b) x ^= BFS_SCRAMBLE_KEY;
    return b;
}

Bytes zcompress(const Bytes& plain) {
    uLongf n = compressBound(plain.size());
    Bytes out(n);
    EXPECT_EQ(compress(out.data(), &n, plain.data(), plain.size()), Z_OK);
    out.resize(n);
    return out;
}

// One entry as it is to be laid out: the block head fields and stored bytes.
struct RawEntry {
    std::string name;
    uint32_t size;
    uint32_t flags;
    Bytes stored;
    std::optional<uint32_t> stored_length;  // head field; defaults to stored.size()
};

RawEntry plain_entry(const std::string& name, const std::string& contents) {
    return {name, static_cast<uint32_t>(contents.size()), 0, bytes_of(contents), {}};
}

struct Layout {
    Bytes bytes;  // archive followed by its trailer
    uint32_t hash_offset = 0;
    std::map<std::string, uint32_t> record_at;
    std::map<std::string, uint32_t> block_at;
    uint32_t archive_size() const { return static_cast<uint32_t>(bytes.size() - BFS_TRAILER_SIZE); }
};

// Lays an archive out by hand. buckets == 0 writes no hash index.
Layout build(std::vector<RawEntry> entries, bool scramble_names, uint32_t buckets) {
    if (buckets)
        std::stable_sort(entries.begin(), entries.end(), [&](const RawEntry& a, const RawEntry& b) {
            return ref_bucket(a.name, buckets) < ref_bucket(b.name, buckets);
        });
    Layout l;
    Bytes& v = l.bytes;
    v.assign(BFS_HEADER_SIZE, 0);
    for (const auto& e : entries) {
        l.record_at[e.name] = static_cast<uint32_t>(v.size());
        v.push_back(e.name.size() & 0xFF);
        v.push_back(e.name.size() >> 8);
        for (char ch : e.name) v.push_back(static_cast<unsigned char>(ch) ^ (scramble_names ? BFS_SCRAMBLE_KEY : 0));
        while (v.size() % 4) v.push_back('#');
        v.resize(v.size() + 4);  // data offset, filled below
    }
    l.hash_offset = static_cast<uint32_t>(v.size());
    if (buckets) {
        v.resize(v.size() + buckets * 8, 0);
        for (const auto& e : entries) {
            size_t slot = l.hash_offset + ref_bucket(e.name, buckets) * 8;
            if (get32(v, slot + 4) == 0) put32(v, slot, l.record_at[e.name]);
            put32(v, slot + 4, get32(v, slot + 4) + 1);
        }
    }
    for (const auto& e : entries) {
        while (v.size() % 4) v.push_back('#');
        uint32_t block = static_cast<uint32_t>(v.size());
        l.block_at[e.name] = block;
        put32(v, l.record_at[e.name] + ((2 + e.name.size() + 3) & ~size_t(3)), block);
        v.resize(block + 12);
        put32(v, block, e.size);
        put32(v, block + 4, e.stored_length.value_or(static_cast<uint32_t>(e.stored.size())));
        put32(v, block + 8, e.flags);
        v.insert(v.end(), e.stored.begin(), e.stored.end());
    }
    while (v.size() % 4) v.push_back('#');
    memcpy(v.data(), BFS_MAGIC, 4);
    put32(v, 4, 1);
    put32(v, 8, static_cast<uint32_t>(v.size()));
    put32(v, 12, static_cast<uint32_t>(entries.size()));
    put32(v, 16, (scramble_names ? BFS_FLAG_SCRAMBLED_NAMES : 0) | (buckets ? BFS_FLAG_HASH_INDEX : 0));
    put16(v, 20, BFS_HEADER_SIZE);
    put16(v, 22, 3);
    put32(v, 24, buckets ? l.hash_offset : 0);
    put32(v, 28, buckets ? buckets - 1 : 0);
    Bytes trailer(v.begin(), v.begin() + 12);
    v.insert(v.end(), trailer.begin(), trailer.end());
    return l;
}

// A copy of (a prefix of) an image in a heap block of exactly its length, so
// that the address sanitizer reports any read past it.
class Image {
public:
    explicit Image(const Bytes& v) : Image(v, v.size()) {}
    Image(const Bytes& v, size_t n) {
        n_ = n;
        p_ = static_cast<unsigned char*>(malloc(n_ ? n_ : 1));
        if (n_) memcpy(p_, v.data(), n_);
        archive_ = bfs_describe(p_, n_);
    }
    ~Image() { free(p_); }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    const BfsArchive* get() const { return &archive_; }

private:
    unsigned char* p_;
    size_t n_;
    BfsArchive archive_;
};

bool found(const BfsArchive* a, const std::string& name) { return bfs_lookup(a, name.data(), name.size(), nullptr) == 1; }

// Looks an entry up and reads it into a buffer of exactly its size.
std::optional<Bytes> read_entry(const BfsArchive* a, const std::string& name) {
    bfs_cursor c;
    if (!bfs_lookup(a, name.data(), name.size(), &c)) return std::nullopt;
    uint32_t n = bfs_size(&c);
    // No entry here is larger than a few MB; a larger size comes from a
    // damaged block, whose read must fail before writing anything, so a
    // one-byte buffer lets the address sanitizer catch a read that does not.
    auto* buf = static_cast<unsigned char*>(malloc(n && n <= (64u << 20) ? n : 1));
    std::optional<Bytes> out;
    if (bfs_read(&c, buf) == buf) out = Bytes(buf, buf + n);
    free(buf);
    return out;
}

void spit(const std::string& path, const Bytes& data) { write_text(path, std::string(data.begin(), data.end())); }

size_t count_open_fds() {
    size_t n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n;  // includes the descriptor of the listing itself
}

bool mapped(const std::string& path) { return read_text("/proc/self/maps").find(path) != std::string::npos; }

// Captures both diagnostic channels: the debugger output goes to a file named
// by KOVRUN_DEBUG_LOG, the error stream is captured by the test framework.
class DiagCapture {
public:
    DiagCapture() : log_(dir_.file("debug.log")) {
        setenv("KOVRUN_DEBUG_LOG", log_.c_str(), 1);
        testing::internal::CaptureStderr();
    }
    ~DiagCapture() {
        if (!done_) finish();
    }
    void finish() {
        stderr_ = testing::internal::GetCapturedStderr();
        unsetenv("KOVRUN_DEBUG_LOG");
        debug_ = read_text(log_);
        done_ = true;
    }
    const std::string& err() const { return stderr_; }
    const std::string& debug() const { return debug_; }

private:
    TempDir dir_;
    std::string log_;
    std::string stderr_, debug_;
    bool done_ = false;
};

size_t occurrences(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) n++;
    return n;
}

struct Variant {
    bool scramble;
    uint32_t buckets;
};
const Variant kVariants[] = {{true, 32}, {false, 32}, {true, 0}, {false, 0}};

}  // namespace

// ---------------------------------------------------------------- hashing

TEST(BfsHash, WorkedExampleAndSignedBytes) {
    const auto* abc = reinterpret_cast<const unsigned char*>("abc");
    EXPECT_EQ(bfs_hash(abc, 3), 108966u);
    EXPECT_EQ(bfs_bucket(108966u, 31), 19u);  // 108966 + 3405 = 112371
    // A byte of 0x80 and above counts as a negative value.
    const unsigned char ff[] = {0xFF};
    EXPECT_EQ(bfs_hash(ff, 1), 0xFFFFFFFFu);
    EXPECT_EQ(bfs_bucket(0xFFFFFFFFu, 31), 30u);  // the sum wraps modulo 2^32
    const std::string mixed = "\xE9t\xE9-\x80\x7F.pm";
    EXPECT_EQ(bfs_hash(reinterpret_cast<const unsigned char*>(mixed.data()), mixed.size()), ref_hash(mixed));
}

// ---------------------------------------------------------------- lookup

TEST(BfsLookup, RecordLengthsFollowNameLength) {
    // 6-byte names need no fill (2 + 6 is a multiple of 4); 7 and 42 do not.
    const std::string n6 = "ABCDEF", n7 = "ABCDEFG", n42(42, 'x'), n5 = "ABCDE";
    for (const auto& v : kVariants) {
        SCOPED_TRACE(testing::Message() << "scramble=" << v.scramble << " buckets=" << v.buckets);
        Layout l = build({plain_entry(n6, "six"), plain_entry(n7, "seven"), plain_entry(n42, "forty-two"), plain_entry(n5, "five")},
                         v.scramble, v.buckets);
        Image img(l.bytes);
        std::map<std::string, uint32_t> lengths;
        bfs_cursor c;
        int walked = 0;
        for (bfs_cursor_start_all(&c, img.get()); bfs_cursor_valid(&c); bfs_cursor_next(&c), walked++) {
            std::string name(c.name_length, '\0');
            bfs_cursor_name(&c, reinterpret_cast<unsigned char*>(name.data()));
            lengths[name] = c.record_length;
        }
        EXPECT_EQ(walked, 4);
        EXPECT_EQ(lengths[n6], 12u);
        EXPECT_EQ(lengths[n7], 16u);
        EXPECT_EQ(lengths[n42], 48u);
        EXPECT_EQ(lengths[n5], 12u);
        // Every record after the first is reached only through correct steps.
        EXPECT_EQ(read_entry(img.get(), n5), bytes_of("five"));
        EXPECT_EQ(read_entry(img.get(), n42), bytes_of("forty-two"));
    }
}

TEST(BfsLookup, NamesCompareExactly) {
    const std::string high = "lib/\xC3\xA9t\xE9/\x80\xFF.pm";
    for (const auto& v : kVariants) {
        SCOPED_TRACE(testing::Message() << "scramble=" << v.scramble << " buckets=" << v.buckets);
        Layout l = build({plain_entry("Config.pm", "config"), plain_entry("abc", "abc"), plain_entry("abcdef", "abcdef"),
                          plain_entry(high, "high"), plain_entry("*CLEAN", "")},
                         v.scramble, v.buckets);
        Image img(l.bytes);
        const BfsArchive* a = img.get();
        EXPECT_EQ(read_entry(a, "Config.pm"), bytes_of("config"));
        EXPECT_EQ(read_entry(a, "abc"), bytes_of("abc"));
        EXPECT_EQ(read_entry(a, "abcdef"), bytes_of("abcdef"));
        EXPECT_EQ(read_entry(a, high), bytes_of("high"));
        EXPECT_TRUE(found(a, "*CLEAN"));
        // Letter case matters.
        EXPECT_FALSE(found(a, "config.pm"));
        EXPECT_FALSE(found(a, "CONFIG.PM"));
        EXPECT_FALSE(found(a, "ABC"));
        // Prefixes and longer names are different names.
        EXPECT_FALSE(found(a, "Config.p"));
        EXPECT_FALSE(found(a, "Config.pmc"));
        EXPECT_FALSE(found(a, "abcd"));
        EXPECT_FALSE(found(a, "ab"));
        EXPECT_FALSE(found(a, "abcdefg"));
        EXPECT_FALSE(found(a, ""));
        EXPECT_FALSE(found(a, high.substr(0, high.size() - 1)));
        // A high byte flipped to its low counterpart is another name.
        std::string low = high;
        low[5] = 0x29;
        EXPECT_FALSE(found(a, low));
        // The name need not be terminated.
        const char longer[] = "abcdefXYZ";
        EXPECT_EQ(bfs_lookup(a, longer, 3, nullptr), 1);
        EXPECT_EQ(bfs_lookup(a, longer, 6, nullptr), 1);
        EXPECT_EQ(bfs_lookup(a, longer, 4, nullptr), 0);
    }
}

TEST(BfsLookup, EmptyBucketMeansAbsentWithoutScanning) {
    Layout l = build({plain_entry("abc", "abc"), plain_entry("xyz", "xyz")}, true, 32);
    Image ok(l.bytes);
    ASSERT_TRUE(found(ok.get(), "abc"));
    // Empty the bucket of "abc" but leave its record in the directory, first
    // offset still pointing at it: a lookup must not look there.
    size_t slot = l.hash_offset + ref_bucket("abc", 32) * 8;
    ASSERT_EQ(ref_bucket("abc", 32), 19u);
    put32(l.bytes, slot + 4, 0);
    Image emptied(l.bytes);
    EXPECT_FALSE(found(emptied.get(), "abc"));
    EXPECT_TRUE(found(emptied.get(), "xyz"));
}

TEST(BfsLookup, LinearScanAndEmptyArchives) {
    std::vector<RawEntry> many;
    for (int i = 0; i < 200; i++) many.push_back(plain_entry("mod/" + std::to_string(i) + ".pm", std::to_string(i * i)));
    for (bool scramble : {true, false}) {
        Layout l = build(many, scramble, 0);
        Image img(l.bytes);
        for (int i = 0; i < 200; i++)
            ASSERT_EQ(read_entry(img.get(), "mod/" + std::to_string(i) + ".pm"), bytes_of(std::to_string(i * i)));
        EXPECT_FALSE(found(img.get(), "mod/200.pm"));
    }
    for (uint32_t buckets : {0u, 1u}) {
        Layout l = build({}, true, buckets);
        Image img(l.bytes);
        EXPECT_TRUE(bfs_valid(img.get()));
        for (const char* n : {"", "*", "abc", "*CLEAN"}) EXPECT_FALSE(found(img.get(), n)) << n;
        bfs_cursor c;
        bfs_cursor_start_all(&c, img.get());
        EXPECT_FALSE(bfs_cursor_valid(&c));
        EXPECT_EQ(bfs_size(&c), 0u);
    }
}

TEST(BfsLookup, RejectsInvalidHeaders) {
    Layout l = build({plain_entry("abc", "abc")}, true, 4);
    EXPECT_FALSE(bfs_valid(nullptr));
    EXPECT_EQ(bfs_lookup(nullptr, "abc", 3, nullptr), 0);
    for (size_t at : {0, 1, 3, 4}) {
        Bytes bad = l.bytes;
        bad[at] ^= 0x01;
        Image img(bad);
        EXPECT_FALSE(bfs_valid(img.get())) << at;
        EXPECT_FALSE(found(img.get(), "abc")) << at;
    }
}

// ---------------------------------------------------------------- reading

TEST(BfsRead, StoredFormsAndFlags) {
    const Bytes text = bytes_of(std::string("line one\nline two\0with a zero\n", 30) + std::string(2000, 'z'));
    Layout l = build({
                         // scrambled, then compressed: unscrambled after inflating
                         {"sc", uint32_t(text.size()), 0x3, zcompress(scrambled(text)), {}},
                         // compressed only
                         {"c", uint32_t(text.size()), 0x1, zcompress(text), {}},
                         // scrambled only
                         {"s", uint32_t(text.size()), 0x2, scrambled(text), {}},
                         // neither: returned as stored
                         {"p", uint32_t(text.size()), 0x0, text, {}},
                         // the stored length of an uncompressed entry is not consulted
                         {"len0", 5, 0x2, scrambled(bytes_of("hello")), 0u},
                         {"lenmax", 5, 0x0, bytes_of("hello"), 0xFFFFFFFFu},
                         // other flag bits are ignored
                         {"other", 3, 0x10, bytes_of("abc"), {}},
                     },
                     true, 8);
    Image img(l.bytes);
    for (const char* n : {"sc", "c", "s", "p"}) EXPECT_EQ(read_entry(img.get(), n), text) << n;
    EXPECT_EQ(read_entry(img.get(), "len0"), bytes_of("hello"));
    EXPECT_EQ(read_entry(img.get(), "lenmax"), bytes_of("hello"));
    EXPECT_EQ(read_entry(img.get(), "other"), bytes_of("abc"));

    // Reading writes exactly size bytes: the byte after them is untouched.
    bfs_cursor c;
    ASSERT_TRUE(bfs_lookup(img.get(), "sc", 2, &c));
    ASSERT_EQ(bfs_size(&c), text.size());
    Bytes buf(text.size() + 1, 0xAB);
    ASSERT_EQ(bfs_read(&c, buf.data()), buf.data());
    EXPECT_EQ(buf.back(), 0xAB);
}

// Pieces of an entry stored as it is read as the whole does, at every
// offset; a compressed entry or a range beyond the entry gives nothing.
TEST(BfsRead, PartsOfStoredEntries) {
    Bytes text(300);
    for (size_t i = 0; i < text.size(); i++) text[i] = static_cast<unsigned char>(i * 7 + 3);
    Layout l = build({{"s", uint32_t(text.size()), 0x2, scrambled(text), {}},
                      {"p", uint32_t(text.size()), 0x0, text, {}},
                      {"c", uint32_t(text.size()), 0x1, zcompress(text), {}}},
                     false, 0);
    Image img(l.bytes);
    for (const char* name : {"s", "p"}) {
        bfs_cursor c;
        ASSERT_TRUE(bfs_lookup(img.get(), name, 1, &c));
        for (size_t at : {0, 1, 15, 64, 100, 299, 300})
            for (size_t n : {0, 1, 63, 64, 65, 200}) {
                Bytes part(n + 1, 0xEE);
                bool fits = at + n <= text.size();
                EXPECT_EQ(bfs_read_part(&c, at, n, part.data()) != nullptr, fits) << name << " " << at << "+" << n;
                if (fits) {
                    EXPECT_TRUE(std::equal(text.begin() + at, text.begin() + at + n, part.begin())) << name << at;
                }
                EXPECT_EQ(part[n], 0xEE) << "written past the piece";
            }
    }
    bfs_cursor c;
    ASSERT_TRUE(bfs_lookup(img.get(), "c", 1, &c));
    Bytes part(10);
    EXPECT_EQ(bfs_read_part(&c, 0, 10, part.data()), nullptr);
}

TEST(BfsRead, InflatedLengthMustEqualSize) {
    const Bytes hundred(100, 'q');
    const Bytes ninety_nine(99, 'q'), hundred_one(101, 'q');
    Bytes cut = zcompress(hundred);
    cut.resize(cut.size() - 3);
    Layout l = build({
                         {"exact", 100, 0x1, zcompress(hundred), {}},
                         {"short", 100, 0x1, zcompress(ninety_nine), {}},
                         {"long", 100, 0x1, zcompress(hundred_one), {}},
                         {"garbage", 100, 0x1, bytes_of("this is not a zlib stream at all"), {}},
                         {"cut", 100, 0x1, cut, {}},
                         {"zero", 0, 0x3, zcompress({}), {}},
                         {"zero-but-data", 0, 0x1, zcompress(bytes_of("x")), {}},
                     },
                     true, 8);
    Image img(l.bytes);
    EXPECT_EQ(read_entry(img.get(), "exact"), hundred);
    EXPECT_EQ(read_entry(img.get(), "zero"), Bytes{});
    for (const char* n : {"short", "long", "garbage", "cut", "zero-but-data"}) {
        EXPECT_TRUE(found(img.get(), n)) << n;
        EXPECT_EQ(read_entry(img.get(), n), std::nullopt) << n;
    }

    DiagCapture diag;
    EXPECT_EQ(bfs_extract(img.get(), "long", "script"), nullptr);
    EXPECT_EQ(bfs_extract(img.get(), "short", "perldll"), nullptr);
    diag.finish();
    EXPECT_EQ(diag.err(), "Panic: Can't extract script\nPanic: Can't extract perldll\n");
    EXPECT_EQ(diag.debug(), "Panic: Can't extract script\nPanic: Can't extract perldll\n");
}

TEST(BfsExtract, TerminatedCopies) {
    const std::string with_zero("ab\0cd", 5);
    Layout l = build({plain_entry("*SCRIPTNAME", "main.pl"), plain_entry("*CLEAN", ""), plain_entry("bin", with_zero),
                      {"z", 0, 0x3, zcompress({}), {}}},
                     true, 4);
    Image img(l.bytes);
    DiagCapture diag;
    char* s = bfs_extract(img.get(), "*SCRIPTNAME", "scriptname");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "main.pl");
    free(s);
    for (const char* empty : {"*CLEAN", "z"}) {
        char* e = bfs_extract(img.get(), empty, "*");
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e[0], '\0');  // a one-byte buffer holding only the terminator
        free(e);
    }
    char* b = bfs_extract(img.get(), "bin", "*");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::string(b, 6), std::string("ab\0cd\0", 6));
    free(b);
    // An absent entry is a normal case: no report on either channel.
    EXPECT_EQ(bfs_extract(img.get(), "*DEBUG", "debugger options"), nullptr);
    EXPECT_EQ(bfs_extract(img.get(), "*scriptname", "scriptname"), nullptr);
    diag.finish();
    EXPECT_EQ(diag.err(), "");
    EXPECT_EQ(diag.debug(), "");
}

TEST(BfsDiag, EveryMessageEndsItsLine) {
    // A missing line feed is added; a message cut at the buffer's end still
    // ends with one.
    DiagCapture diag;
    diag_print("Panic: one");
    diag_print("Panic: two\n");
    diag_print("%s", std::string(3 * DIAG_BUFFER_SIZE, 'p').c_str());
    diag.finish();
    const std::string expected = "Panic: one\nPanic: two\n" + std::string(DIAG_BUFFER_SIZE - 2, 'p') + "\n";
    EXPECT_EQ(diag.err(), expected);
    EXPECT_EQ(diag.debug(), expected);
}

TEST(BfsDiag, AllocationPanicReachesBothChannelsOnce) {
    const size_t huge = size_t(1) << 62;
    DiagCapture diag;
    EXPECT_EQ(panic_alloc(huge, "perldll"), nullptr);
    diag.finish();
    const std::string msg = "Panic: Can't alloc 4611686018427387904 bytes for perldll";
    // The sanitizer runtime may add its own warning to the error stream.
    EXPECT_EQ(occurrences(diag.err(), msg), 1u) << diag.err();
    EXPECT_EQ(occurrences(diag.err(), "Panic:"), 1u) << diag.err();
    EXPECT_EQ(diag.debug(), msg + "\n");

    void* small = panic_alloc(16, "argv");
    EXPECT_NE(small, nullptr);
    free(small);
}

// ---------------------------------------------------------------- appended archives

// A mapped archive lives as long as the process; keeping the pointers
// reachable tells the leak checker so.
namespace {
const BfsArchive* volatile kept[16];
size_t kept_count = 0;
}  // namespace

TEST(BfsMapFile, FindsArchiveAtAnyOffset) {
    TempDir dir;
    std::vector<BfsWriteEntry> entries = {{"abc", bytes_of("first")},
                                          {"big", Bytes(70000, 'b')},
                                          {"\xE9t\xE9", bytes_of("accent")}};
    Bytes archive;
    std::string error;
    ASSERT_TRUE(bfs_write_archive(entries, BfsWriteOptions{}, &archive, nullptr, &error)) << error;
    long page = sysconf(_SC_PAGESIZE);
    int i = 0;
    for (size_t prefix : {size_t(1), size_t(13), size_t(page - 1), size_t(page), size_t(page + 5), size_t(3 * page + 777)}) {
        SCOPED_TRACE(prefix);
        Bytes file(prefix, 0x7F);
        file.insert(file.end(), archive.begin(), archive.end());
        std::string path = dir.file("app" + std::to_string(i++));
        spit(path, file);
        size_t fds = count_open_fds();
        const BfsArchive* a = bfs_map_file(path.c_str());
        EXPECT_EQ(count_open_fds(), fds);
        ASSERT_NE(a, nullptr);
        if (kept_count < 16) kept[kept_count++] = a;
        EXPECT_TRUE(bfs_valid(a));
        EXPECT_EQ(read_entry(a, "abc"), bytes_of("first"));
        EXPECT_EQ(read_entry(a, "big"), Bytes(70000, 'b'));
        EXPECT_EQ(read_entry(a, "\xE9t\xE9"), bytes_of("accent"));
        EXPECT_FALSE(found(a, "ABC"));
    }
}

namespace {
// Resident kilobytes of the process's mappings of `path`.
long resident_kb(const std::string& path) {
    std::istringstream smaps(read_text("/proc/self/smaps"));
    long kb = 0;
    bool in = false;
    for (std::string line; std::getline(smaps, line);) {
        if (!line.empty() && isxdigit(static_cast<unsigned char>(line[0])) && line.find(' ') != std::string::npos &&
            line.find('-') < line.find(' '))
            in = line.size() >= path.size() && line.compare(line.size() - path.size(), path.size(), path) == 0;
        else if (in && line.rfind("Rss:", 0) == 0)
            kb += std::stol(line.substr(4));
    }
    return kb;
}
}  // namespace

// An entry released after it was read leaves the memory of a mapped archive,
// reads the same again, and leaves its neighbours as they are; in an image
// in memory, releasing changes nothing.
TEST(BfsMapFile, ReleasedEntriesLeaveMemory) {
    TempDir dir;
    Bytes big(1 << 20);
    for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<unsigned char>(i * 13 + i / 4096);
    std::vector<BfsWriteEntry> entries = {
        {"before", bytes_of("first")}, {"big", big, true}, {"after", bytes_of("last")}};
    Bytes archive;
    std::string error;
    ASSERT_TRUE(bfs_write_archive(entries, BfsWriteOptions{}, &archive, nullptr, &error)) << error;
    Bytes file(777, 0x7F);
    file.insert(file.end(), archive.begin(), archive.end());
    std::string path = dir.file("app");
    spit(path, file);
    const BfsArchive* mapped_archive = bfs_map_file(path.c_str());
    ASSERT_NE(mapped_archive, nullptr);
    if (kept_count < 16) kept[kept_count++] = mapped_archive;
    Image in_memory(archive);

    for (const BfsArchive* a : {mapped_archive, in_memory.get()}) {
        bfs_cursor c;
        ASSERT_TRUE(bfs_lookup(a, "big", 3, &c));
        ASSERT_EQ(read_entry(a, "big"), big);
        long before = resident_kb(path);
        bfs_release(&c);
        if (a == mapped_archive) {
            EXPECT_GE(before, 1000);
            EXPECT_LT(resident_kb(path), 100);
        }
        EXPECT_EQ(read_entry(a, "before"), bytes_of("first"));
        EXPECT_EQ(read_entry(a, "after"), bytes_of("last"));
        EXPECT_EQ(read_entry(a, "big"), big);
    }
}

TEST(BfsMapFile, BadTrailersLeaveNothingOpen) {
    TempDir dir;
    Bytes archive;
    std::string error;
    ASSERT_TRUE(bfs_write_archive({{"abc", bytes_of("x")}}, BfsWriteOptions{}, &archive, nullptr, &error));
    auto with_prefix = [&](size_t n) {
        Bytes f(n, 'P');
        f.insert(f.end(), archive.begin(), archive.end());
        return f;
    };
    size_t t = archive.size() + 100 - 12;  // trailer position with a 100-byte prefix
    std::map<std::string, Bytes> cases;
    cases["bare-archive"] = archive;  // archive size == trailer position
    cases["empty"] = {};
    cases["five"] = bytes_of("\xFF" "BFS\x01");
    cases["eleven"] = Bytes(archive.end() - 11, archive.end());
    cases["twelve-trailer-only"] = Bytes(archive.end() - 12, archive.end());
    {
        Bytes f = with_prefix(100);
        f[t] = 0xFE;
        cases["bad-magic"] = f;
    }
    {
        Bytes f = with_prefix(100);
        put32(f, t + 4, 2);
        cases["version-2"] = f;
    }
    {
        Bytes f = with_prefix(100);
        put32(f, t + 8, static_cast<uint32_t>(t + 1));
        cases["size-past-start"] = f;
    }
    {
        Bytes f = with_prefix(100);
        put32(f, t + 8, 0xFFFFFFFF);
        cases["size-max"] = f;
    }
    {
        // The trailer is fine but the header it leads to is not.
        Bytes f = with_prefix(100);
        put32(f, t + 8, get32(f, t + 8) - 4);
        cases["header-missing"] = f;
    }
    for (const auto& [name, data] : cases) {
        SCOPED_TRACE(name);
        std::string path = dir.file(name);
        spit(path, data);
        size_t fds = count_open_fds();
        EXPECT_EQ(bfs_map_file(path.c_str()), nullptr);
        EXPECT_EQ(count_open_fds(), fds);
        EXPECT_FALSE(mapped(path));
    }
    size_t fds = count_open_fds();
    EXPECT_EQ(bfs_map_file(dir.file("missing").c_str()), nullptr);
    EXPECT_EQ(bfs_map_file(dir.file("").c_str()), nullptr);  // a directory
    EXPECT_EQ(bfs_map_file(nullptr), nullptr);                 // this test program carries none
    EXPECT_EQ(count_open_fds(), fds);
}

// ---------------------------------------------------------------- damaged images

namespace {

std::vector<RawEntry> damage_entries() {
    const Bytes text = bytes_of(std::string(3000, 'k') + "tail");
    return {plain_entry("abc", "abc contents"),
            plain_entry("Config.pm", "1;"),
            {"big", uint32_t(text.size()), 0x3, zcompress(scrambled(text)), {}},
            plain_entry("\xE9t\xE9", "accent"),
            plain_entry("last", "the end")};
}
const char* const kDamageNames[] = {"abc", "Config.pm", "big", "\xE9t\xE9", "last", "absent"};

// Every lookup and read of a damaged image fails or gives the true contents.
void expect_correct_or_failed(const BfsArchive* a, const std::map<std::string, Bytes>& truth) {
    for (const char* n : kDamageNames) {
        auto got = read_entry(a, n);
        if (!got) continue;
        auto it = truth.find(n);
        ASSERT_NE(it, truth.end()) << n;
        EXPECT_EQ(*got, it->second) << n;
    }
    bfs_cursor c;
    int guard = 0;
    for (bfs_cursor_start_all(&c, a); bfs_cursor_valid(&c) && guard < 1000; bfs_cursor_next(&c), guard++) {
        Bytes name(c.name_length);
        bfs_cursor_name(&c, name.data());
        uint32_t n = bfs_size(&c);
        if (n > (1u << 20)) continue;
        Bytes buf(n ? n : 1);
        bfs_read(&c, buf.data());
    }
    EXPECT_LT(guard, 1000);
}

std::map<std::string, Bytes> damage_truth() {
    std::map<std::string, Bytes> t;
    for (const char* n : kDamageNames) {
        if (std::string(n) == "absent") continue;
        Layout l = build(damage_entries(), true, 8);
        Image img(l.bytes);
        t[n] = *read_entry(img.get(), n);
    }
    return t;
}

}  // namespace

TEST(BfsDamaged, TruncatedImages) {
    auto truth = damage_truth();
    for (uint32_t buckets : {8u, 0u}) {
        Layout l = build(damage_entries(), true, buckets);
        for (size_t n = 0; n <= l.bytes.size(); n++) {
            SCOPED_TRACE(testing::Message() << "buckets=" << buckets << " length=" << n);
            Image img(l.bytes, n);
            if (n < BFS_HEADER_SIZE) {
                for (const char* name : kDamageNames) EXPECT_FALSE(found(img.get(), name));
            }
            expect_correct_or_failed(img.get(), truth);
            if (n >= l.archive_size()) {
                for (const auto& [name, contents] : truth) EXPECT_EQ(read_entry(img.get(), name), contents);
            }
            if (HasFailure()) return;
        }
        // A header whose archive size is too small limits reads the same way:
        // the entry whose block comes last no longer fits.
        std::string last_block;
        for (const auto& [name, at] : l.block_at)
            if (last_block.empty() || at > l.block_at[last_block]) last_block = name;
        const uint32_t cut_in_last = l.block_at[last_block] + BFS_BLOCK_HEAD_SIZE + 1;
        for (uint32_t size : {0u, 8u, 31u, 32u, l.block_at["big"] + 20, cut_in_last}) {
            Bytes b = l.bytes;
            put32(b, 8, size);
            Image img(b);
            expect_correct_or_failed(img.get(), truth);
            EXPECT_EQ(read_entry(img.get(), last_block), std::nullopt) << size;
        }
    }
}

TEST(BfsDamaged, OffsetsPastTheEnd) {
    auto truth = damage_truth();
    const Layout good = build(damage_entries(), true, 8);
    const uint32_t end = good.archive_size();
    struct Patch {
        const char* what;
        size_t at;
        uint32_t value;
        const char* fails;  // the name whose lookup or read must now fail
        bool index_only;    // damage to the hash index, which a linear scan ignores
    };
    auto bucket_of = [&](const char* n) { return good.hash_offset + ref_bucket(n, 8) * 8; };
    auto data_field = [&](const char* n) { return good.record_at.at(n) + ((2 + strlen(n) + 3) & ~size_t(3)); };
    const uint32_t big_block = good.block_at.at("big");
    const uint32_t abc_block = good.block_at.at("abc");
    const std::vector<Patch> patches = {
        {"bucket first record at the end", bucket_of("abc"), end, "abc", true},
        {"bucket first record straddles the end", bucket_of("abc"), end - 2, "abc", true},
        {"bucket first record far away", bucket_of("abc"), 0x7FFFFFF0, "abc", true},
        {"bucket first record negative", bucket_of("abc"), 0xFFFFFFF0, "abc", true},
        {"bucket count runs past the directory", bucket_of("absent") + 4, 0x7FFFFFFF, nullptr, true},
        {"bucket count huge", bucket_of("abc") + 4, 0xFFFFFFFF, "abc", true},
        {"hash index past the end", 24, end, "abc", true},
        {"hash index straddles the end", 24, end - 4, "abc", true},
        {"hash index wraps", 24, 0xFFFFFFF8, "abc", true},
        {"hash mask huge", 28, 0xFFFFFFFF, nullptr, true},
        {"first record past the end", 20, 0xFFFF, nullptr, false},
        {"entry count huge", 12, 0xFFFFFFFF, nullptr, false},
        {"alignment mask wide", 22, 0xFFFF, "abc", false},
        {"block past the end", data_field("abc"), end, "abc", false},
        {"block head straddles the end", data_field("abc"), end - 8, "abc", false},
        {"block offset wraps", data_field("abc"), 0xFFFFFFFC, "abc", false},
        {"compressed stored length past the end", big_block + 4, end - big_block, "big", false},
        {"compressed stored length huge", big_block + 4, 0xFFFFFFFF, "big", false},
        {"uncompressed size past the end", abc_block, end - abc_block, "abc", false},
        {"uncompressed size huge", abc_block, 0xFFFFFFF0, "abc", false},
    };
    for (const auto& p : patches) {
        SCOPED_TRACE(p.what);
        Bytes b = good.bytes;
        if (p.at == 20 || p.at == 22)
            put16(b, p.at, static_cast<uint16_t>(p.value));
        else
            put32(b, p.at, p.value);
        for (bool with_index : {true, false}) {
            SCOPED_TRACE(with_index ? "indexed" : "linear");
            if (!with_index) put32(b, 16, BFS_FLAG_SCRAMBLED_NAMES);
            Image img(b);
            expect_correct_or_failed(img.get(), truth);
            if (with_index || !p.index_only) {
                if (p.fails) {
                    EXPECT_EQ(read_entry(img.get(), p.fails), std::nullopt);
                }
            } else {
                for (const auto& [name, contents] : truth) EXPECT_EQ(read_entry(img.get(), name), contents) << name;
            }
        }
    }
    // A record whose name runs past the end ends the walk.
    Bytes b = good.bytes;
    uint32_t last_record = 0;
    for (const auto& [n, at] : good.record_at) last_record = std::max(last_record, at);
    put16(b, last_record, 0xFFFF);
    put32(b, 8, good.hash_offset);  // and nothing after the directory is readable
    Image img(b);
    expect_correct_or_failed(img.get(), truth);
}

TEST(BfsDamaged, ShortImagesAndCursors) {
    const unsigned char header_only[12] = {0xFF, 'B', 'F', 'S', 1, 0, 0, 0, 12, 0, 0, 0};
    for (size_t n : {0, 4, 8, 12}) {
        Bytes v(header_only, header_only + n);
        Image img(v);
        EXPECT_EQ(img.get()->limit, 0u);
        EXPECT_FALSE(found(img.get(), "abc"));
        bfs_cursor c;
        bfs_cursor_start_all(&c, img.get());
        EXPECT_FALSE(bfs_cursor_valid(&c));
        EXPECT_EQ(c.entry_block, nullptr);
        unsigned char none[1];
        bfs_cursor_name(&c, none);
        EXPECT_EQ(bfs_read(&c, none), nullptr);
    }
}
