// Reader of the bound file system: finding the archive, looking entries up
// and reading their contents. Every offset taken from the image is checked
// against the image's bounds before it is used.
#include "src/bfs/bfs.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include "platform/platform.h"
#include "src/launcher/diag.h"

namespace {

// A path as long as the system allows, terminator included.
constexpr size_t PATH_BUFFER = PATH_MAX;

bool header_ok(const unsigned char* image, size_t length) {
    return image && length >= 8 && memcmp(image, BFS_MAGIC, 4) == 0 && bfs_u32(image + 4) == 1;
}

// True when [offset, offset + size) lies inside the readable part.
bool in_bounds(const BfsArchive* a, uint64_t offset, uint64_t size) {
    return offset <= a->limit && size <= a->limit - offset;
}

void cursor_end(bfs_cursor* c) {
    c->name_length = 0;
    c->record_length = 0;
    c->entry_block = nullptr;
}

void cursor_load(bfs_cursor* c) {
    if (c->index >= c->run_length) {
        cursor_end(c);
        return;
    }
    const BfsArchive* a = c->archive;
    uint64_t off = static_cast<uint32_t>(c->record_offset);
    if (c->record_offset < 0 || !in_bounds(a, off, 2)) goto damaged;
    {
        uint32_t n = bfs_u16(a->image + off);
        uint64_t mask = bfs_u16(a->image + 22);
        uint64_t t = n + 2;
        if (t & mask) t = (t + mask + 1) & ~mask;
        if (t < n + 2u || !in_bounds(a, off, t + 4)) goto damaged;
        uint32_t data = bfs_u32(a->image + off + t);
        if (!in_bounds(a, data, BFS_BLOCK_HEAD_SIZE)) goto damaged;
        c->name_length = n;
        c->record_length = static_cast<uint32_t>(t + 4);
        c->entry_block = a->image + data;
        return;
    }
damaged:
    // A record that does not fit the image ends the run: the lookup fails.
    c->index = c->run_length;
    cursor_end(c);
}

}  // namespace

BfsArchive bfs_describe(const unsigned char* image, size_t length) {
    BfsArchive a{image, length, 0, false};
    if (header_ok(image, length) && length >= BFS_HEADER_SIZE) {
        uint64_t size = bfs_u32(image + 8);
        uint64_t lim = size < length ? size : length;
        if (lim >= BFS_HEADER_SIZE) a.limit = static_cast<uint32_t>(lim);
    }
    return a;
}

bool bfs_valid(const BfsArchive* archive) {
    return archive && header_ok(archive->image, archive->length);
}

namespace {
// One step of the name hash: the byte counts as a signed value.
inline uint32_t hash_step(uint32_t h, unsigned char b) {
    return h * 33u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(b)));
}
}  // namespace

uint32_t bfs_hash(const unsigned char* name, size_t length) {
    uint32_t h = 0;
    for (size_t i = 0; i < length; i++) h = hash_step(h, name[i]);
    return h;
}

uint32_t bfs_bucket(uint32_t hash, uint32_t mask) { return (hash + (hash >> 5)) & mask; }

void bfs_cursor_start(bfs_cursor* c, const BfsArchive* archive, int32_t record_offset, int32_t run_length) {
    c->archive = archive;
    c->index = 0;
    c->record_offset = record_offset;
    c->run_length = run_length;
    cursor_load(c);
}

void bfs_cursor_start_all(bfs_cursor* c, const BfsArchive* archive) {
    if (archive->limit < BFS_HEADER_SIZE) {
        // No usable header: an empty walk.
        bfs_cursor_start(c, archive, 0, 0);
        return;
    }
    uint32_t count = bfs_u32(archive->image + 12);
    uint32_t first = bfs_u16(archive->image + 20);
    bfs_cursor_start(c, archive, static_cast<int32_t>(first), count > INT32_MAX ? 0 : static_cast<int32_t>(count));
}

bool bfs_cursor_valid(const bfs_cursor* c) { return c->index < c->run_length; }

void bfs_cursor_next(bfs_cursor* c) {
    int64_t next = int64_t(c->record_offset) + c->record_length;
    c->index += 1;
    if (next > INT32_MAX) {
        c->index = c->run_length;
        cursor_end(c);
        return;
    }
    c->record_offset = static_cast<int32_t>(next);
    cursor_load(c);
}

bool bfs_cursor_name_equals(const bfs_cursor* c, const unsigned char* name, size_t length) {
    if (!c->entry_block || length != c->name_length) return false;
    const unsigned char* stored = c->archive->image + c->record_offset + 2;
    if (!(bfs_u32(c->archive->image + 16) & BFS_FLAG_SCRAMBLED_NAMES)) return memcmp(stored, name, length) == 0;
    for (size_t i = 0; i < length; i++)
        if ((stored[i] ^ BFS_SCRAMBLE_KEY) != name[i]) return false;
    return true;
}

void bfs_cursor_name(const bfs_cursor* c, unsigned char* buf) {
    if (!c->entry_block) return;
    const unsigned char* stored = c->archive->image + c->record_offset + 2;
    bool scrambled = bfs_u32(c->archive->image + 16) & BFS_FLAG_SCRAMBLED_NAMES;
    for (uint32_t i = 0; i < c->name_length; i++) buf[i] = scrambled ? stored[i] ^ BFS_SCRAMBLE_KEY : stored[i];
}

int bfs_lookup(const BfsArchive* archive, const char* name, size_t name_length, bfs_cursor* out_cursor) {
    if (!bfs_valid(archive) || archive->limit < BFS_HEADER_SIZE) return 0;
    const unsigned char* img = archive->image;
    const auto* key = reinterpret_cast<const unsigned char*>(name);
    bfs_cursor c;
    if (bfs_u32(img + 16) & BFS_FLAG_HASH_INDEX) {
        uint32_t mask = bfs_u32(img + 28);
        uint64_t bucket = uint64_t(bfs_u32(img + 24)) + uint64_t(bfs_bucket(bfs_hash(key, name_length), mask)) * 8;
        if (!in_bounds(archive, bucket, 8)) return 0;
        uint32_t first = bfs_u32(img + bucket);
        uint32_t count = bfs_u32(img + bucket + 4);
        if (count == 0) return 0;
        if (count > INT32_MAX || first > INT32_MAX) return 0;
        bfs_cursor_start(&c, archive, static_cast<int32_t>(first), static_cast<int32_t>(count));
    } else {
        bfs_cursor_start_all(&c, archive);
    }
    for (; bfs_cursor_valid(&c); bfs_cursor_next(&c)) {
        if (bfs_cursor_name_equals(&c, key, name_length)) {
            if (out_cursor) *out_cursor = c;
            return 1;
        }
    }
    return 0;
}

uint32_t bfs_size(const bfs_cursor* cursor) { return cursor->entry_block ? bfs_u32(cursor->entry_block) : 0; }
uint32_t bfs_stored_length(const bfs_cursor* c) { return c->entry_block ? bfs_u32(c->entry_block + 4) : 0; }
uint32_t bfs_entry_flags(const bfs_cursor* c) { return c->entry_block ? bfs_u32(c->entry_block + 8) : 0; }

bool bfs_entry_plausible(const bfs_cursor* c) {
    if (!c->entry_block) return false;
    const BfsArchive* a = c->archive;
    uint64_t data = static_cast<uint64_t>(c->entry_block - a->image) + BFS_BLOCK_HEAD_SIZE;
    uint64_t size = bfs_size(c);
    if (!(bfs_entry_flags(c) & BFS_ENTRY_COMPRESSED)) return in_bounds(a, data, size);
    uint64_t stored = bfs_stored_length(c);
    return in_bounds(a, data, stored) && size <= stored * 1032 + 64;
}

namespace {

// The bucket that the current record's plain name hashes to.
uint32_t record_bucket(const bfs_cursor* c, uint32_t mask) {
    const unsigned char* stored = c->archive->image + c->record_offset + 2;
    unsigned char key = (bfs_u32(c->archive->image + 16) & BFS_FLAG_SCRAMBLED_NAMES) ? BFS_SCRAMBLE_KEY : 0;
    uint32_t h = 0;
    for (uint32_t i = 0; i < c->name_length; i++) h = hash_step(h, stored[i] ^ key);
    return bfs_bucket(h, mask);
}

uint64_t align4(uint64_t x) { return (x + 3) & ~uint64_t(3); }

}  // namespace

bool bfs_intact(const BfsArchive* a) {
    if (!bfs_valid(a) || a->limit < BFS_HEADER_SIZE) return false;
    const unsigned char* img = a->image;
    uint64_t size = bfs_u32(img + 8);
    if (size != a->limit || a->length != size + BFS_TRAILER_SIZE || memcmp(img, img + size, BFS_TRAILER_SIZE) != 0)
        return false;
    uint32_t count = bfs_u32(img + 12);
    uint32_t first = bfs_u16(img + 20);
    uint32_t align = bfs_u16(img + 22);
    // A record takes at least six bytes.
    if (first < BFS_HEADER_SIZE || (align & (align + 1)) != 0 || count > size / 6) return false;

    // The directory: every record readable (the cursor stops at one that is not).
    bfs_cursor c;
    uint64_t directory_end = first;
    bfs_cursor_start(&c, a, static_cast<int32_t>(first), static_cast<int32_t>(count));
    for (uint32_t i = 0; i < count; i++, bfs_cursor_next(&c)) {
        if (!c.entry_block) return false;
        directory_end += c.record_length;
    }

    // The hash index: each record in its bucket's run, the runs side by side.
    uint64_t blocks_from = directory_end;
    if (bfs_u32(img + 16) & BFS_FLAG_HASH_INDEX) {
        uint64_t index = bfs_u32(img + 24);
        uint64_t buckets = uint64_t(bfs_u32(img + 28)) + 1;
        if (index != directory_end || (buckets & (buckets - 1)) != 0 || !in_bounds(a, index, buckets * 8)) return false;
        uint32_t mask = static_cast<uint32_t>(buckets - 1);
        uint64_t at = first;
        for (uint64_t b = 0; b < buckets; b++) {
            const unsigned char* slot = img + index + b * 8;
            uint32_t run = bfs_u32(slot + 4);
            if (run == 0) continue;
            if (bfs_u32(slot) != at || run > count) return false;
            bfs_cursor_start(&c, a, static_cast<int32_t>(at), static_cast<int32_t>(run));
            for (uint32_t i = 0; i < run; i++, bfs_cursor_next(&c)) {
                if (!c.entry_block || at + c.record_length > directory_end || record_bucket(&c, mask) != b) return false;
                at += c.record_length;
            }
        }
        if (at != directory_end) return false;
        blocks_from = index + buckets * 8;
    }

    // The entry blocks, back to back in directory order up to the end.
    uint64_t expected = blocks_from;
    bfs_cursor_start(&c, a, static_cast<int32_t>(first), static_cast<int32_t>(count));
    for (uint32_t i = 0; i < count; i++, bfs_cursor_next(&c)) {
        if (!c.entry_block) return false;
        uint64_t block = static_cast<uint64_t>(c.entry_block - img);
        uint64_t stored = bfs_stored_length(&c);
        bool plain = !(bfs_entry_flags(&c) & BFS_ENTRY_COMPRESSED);
        if (block != align4(expected) || !in_bounds(a, block + BFS_BLOCK_HEAD_SIZE, stored) || !bfs_entry_plausible(&c) ||
            (plain && stored != bfs_size(&c)))
            return false;
        expected = block + BFS_BLOCK_HEAD_SIZE + stored;
    }
    return align4(expected) == size;
}

namespace {

// Sixteen bytes, combined with the key in one step.
typedef uint64_t Word __attribute__((vector_size(16)));

inline void unscramble_word(unsigned char* out, const unsigned char* in) {
    constexpr uint64_t key = 0x0101010101010101ull * BFS_SCRAMBLE_KEY;
    Word w;
    memcpy(&w, in, sizeof w);
    w ^= key;
    memcpy(out, &w, sizeof w);
}

// Copies the n bytes at `in` to `out` (which may be `in`), each combined with
// the key: libperl is megabytes, and unscrambling it in the copy from the
// archive, 64 bytes a step, saves a pass over it.
void unscramble(unsigned char* out, const unsigned char* in, size_t n) {
    size_t i = 0;
    for (; i + 4 * sizeof(Word) <= n; i += 4 * sizeof(Word)) {
        unscramble_word(out + i, in + i);
        unscramble_word(out + i + sizeof(Word), in + i + sizeof(Word));
        unscramble_word(out + i + 2 * sizeof(Word), in + i + 2 * sizeof(Word));
        unscramble_word(out + i + 3 * sizeof(Word), in + i + 3 * sizeof(Word));
    }
    for (; i < n; i++) out[i] = in[i] ^ BFS_SCRAMBLE_KEY;
}

}  // namespace

void* bfs_read(const bfs_cursor* cursor, void* buffer) {
    if (!cursor->entry_block || !buffer) return nullptr;
    uint32_t size = bfs_size(cursor);
    uint32_t flags = bfs_entry_flags(cursor);
    if (!(flags & BFS_ENTRY_COMPRESSED)) return bfs_read_part(cursor, 0, size, buffer);
    const BfsArchive* a = cursor->archive;
    uint64_t data = static_cast<uint64_t>(cursor->entry_block - a->image) + BFS_BLOCK_HEAD_SIZE;
    uint32_t stored = bfs_stored_length(cursor);
    if (!in_bounds(a, data, stored)) return nullptr;
    // Given no room at all, uncompress inflates into a one-byte scratch of
    // its own and reports success for a stream of one byte. One byte of
    // room of ours makes such a stream come back with n = 1 and fail.
    auto* out = static_cast<unsigned char*>(buffer);
    unsigned char spare;
    uLongf n = size ? size : 1;
    if (uncompress(size ? out : &spare, &n, a->image + data, stored) != Z_OK || n != size) return nullptr;
    if (flags & BFS_ENTRY_SCRAMBLED) unscramble(out, out, size);
    return buffer;
}

void* bfs_read_part(const bfs_cursor* cursor, size_t offset, size_t n, void* buffer) {
    if (!cursor->entry_block || !buffer || (bfs_entry_flags(cursor) & BFS_ENTRY_COMPRESSED)) return nullptr;
    const BfsArchive* a = cursor->archive;
    uint64_t data = static_cast<uint64_t>(cursor->entry_block - a->image) + BFS_BLOCK_HEAD_SIZE;
    uint32_t size = bfs_size(cursor);
    if (offset > size || n > size - offset || !in_bounds(a, data, size)) return nullptr;
    auto* out = static_cast<unsigned char*>(buffer);
    if (bfs_entry_flags(cursor) & BFS_ENTRY_SCRAMBLED)
        unscramble(out, a->image + data + offset, n);
    else
        memcpy(out, a->image + data + offset, n);
    return buffer;
}

void bfs_release(const bfs_cursor* cursor) {
    const BfsArchive* a = cursor->archive;
    if (!cursor->entry_block || !a->mapped) return;
    uint64_t data = static_cast<uint64_t>(cursor->entry_block - a->image) + BFS_BLOCK_HEAD_SIZE;
    uint64_t stored = (bfs_entry_flags(cursor) & BFS_ENTRY_COMPRESSED) ? bfs_stored_length(cursor) : bfs_size(cursor);
    if (!in_bounds(a, data, stored)) return;
    // The whole pages inside the stored bytes; a page shared with a
    // neighbouring entry stays.
    uintptr_t page = plat_map_granularity();
    uintptr_t from = reinterpret_cast<uintptr_t>(a->image + data), to = from + stored;
    from = (from + page - 1) / page * page;
    to = to / page * page;
    if (from < to) plat_map_release(reinterpret_cast<const unsigned char*>(from), to - from);
}

void* panic_alloc(size_t size, const char* label) {
    void* p = malloc(size);
    if (!p) {
        char msg[100];
        // The size is printed in full: a request of 2 GiB and more must not
        // show as a small or negative number.
        snprintf(msg, sizeof msg, "Panic: Can't alloc %zu bytes for %s", size, label);
        diag_print("%s", msg);
    }
    return p;
}

char* bfs_extract(const BfsArchive* archive, const char* name, const char* label) {
    bfs_cursor c;
    if (!bfs_lookup(archive, name, strlen(name), &c)) return nullptr;
    size_t n = bfs_size(&c);
    auto* buffer = static_cast<char*>(panic_alloc(n + 1, label));
    if (!buffer) return nullptr;
    plat_lock();
    void* r = bfs_read(&c, buffer);
    plat_unlock();
    if (!r) {
        diag_print("Panic: Can't extract %s", label);
        free(buffer);
        return nullptr;
    }
    buffer[n] = 0;
    return buffer;
}

namespace {

// Maps the archive appended to the file at `path`. With `intact`, an
// archive that fails bfs_intact is refused. *damaged is set when the file
// ends in a trailer but no usable archive is where it leads.
const BfsArchive* map_appended(const char* path, bool intact, bool* damaged) {
    *damaged = false;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    unsigned char trailer[BFS_TRAILER_SIZE];
    off_t p = lseek(fd, -static_cast<off_t>(BFS_TRAILER_SIZE), SEEK_END);
    if (p < 0 || read(fd, trailer, sizeof trailer) != static_cast<ssize_t>(sizeof trailer) ||
        !header_ok(trailer, sizeof trailer)) {
        close(fd);
        return nullptr;
    }
    uint64_t s = bfs_u32(trailer + 8);
    if (s >= static_cast<uint64_t>(p)) {
        close(fd);
        *damaged = true;
        return nullptr;
    }
    uint64_t a = static_cast<uint64_t>(p) - s;
    uint64_t d = a % plat_map_granularity();
    size_t view_length = static_cast<size_t>(s + d + BFS_TRAILER_SIZE);
    const unsigned char* view = plat_map_readonly(fd, a - d, view_length);
    close(fd);  // the mapping stays valid without the descriptor
    if (!view) return nullptr;
    BfsArchive described = bfs_describe(view + d, static_cast<size_t>(s + BFS_TRAILER_SIZE));
    if (!bfs_valid(&described) || (intact && !bfs_intact(&described))) {
        plat_unmap(view, view_length);
        *damaged = true;
        return nullptr;
    }
    auto* archive = static_cast<BfsArchive*>(malloc(sizeof(BfsArchive)));
    if (!archive) {
        plat_unmap(view, view_length);
        return nullptr;
    }
    *archive = described;
    archive->mapped = true;
    return archive;
}

}  // namespace

const BfsArchive* bfs_map_file(const char* path) {
    char self[PATH_BUFFER];
    if (!path) {
        if (!plat_exe_path(self, sizeof self)) return nullptr;
        path = self;
    }
    bool damaged;
    return map_appended(path, false, &damaged);
}

const BfsArchive* bfs_resource(const char* module_name, char** out_path, BfsFailure* why) {
    // The executable's own archive is found once and then kept for the life
    // of the process, as a loaded resource would be.
    static const BfsArchive* self_archive = nullptr;
    static bool self_damaged = false;
    static bool self_searched = false;
    char path[PATH_BUFFER];
    const BfsArchive* result = nullptr;
    BfsFailure failure = BFS_ABSENT;
    bool damaged = false;
    if (module_name) {
        if (plat_module_path(module_name, path, sizeof path)) {
            if (out_path) *out_path = strdup(module_name);
            result = map_appended(path, true, &damaged);
        }
    } else {
        bool have_path = plat_exe_path(path, sizeof path);
        if (!have_path && errno == ENAMETOOLONG) failure = BFS_PATH_TOO_LONG;
        if (out_path) *out_path = have_path ? strdup(path) : nullptr;
        if (have_path) {
            plat_lock();
            if (!self_searched) {
                self_archive = map_appended(path, true, &self_damaged);
                self_searched = true;
            }
            result = self_archive;
            damaged = self_damaged;
            plat_unlock();
        }
    }
    if (damaged) failure = BFS_DAMAGED;
    if (why) *why = result ? BFS_FOUND : failure;
    return result;
}
