// The bound file system: a read-only archive of named entries, used in place.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t BFS_HEADER_SIZE = 32;
constexpr uint32_t BFS_TRAILER_SIZE = 12;
constexpr uint32_t BFS_BLOCK_HEAD_SIZE = 12;
constexpr uint32_t BFS_FLAG_SCRAMBLED_NAMES = 0x2;
constexpr uint32_t BFS_FLAG_HASH_INDEX = 0x4;
constexpr uint32_t BFS_ENTRY_COMPRESSED = 0x1;
constexpr uint32_t BFS_ENTRY_SCRAMBLED = 0x2;
constexpr unsigned char BFS_SCRAMBLE_KEY = 0x5A;
constexpr unsigned char BFS_MAGIC[4] = {0xFF, 'B', 'F', 'S'};

// An archive image in memory together with the number of bytes that may be
// read from it. Every read of a record, bucket or block is checked against
// `limit`: the smaller of the image length and the header's archive size.
struct BfsArchive {
    const unsigned char* image;
    size_t length;   // bytes available from `image`
    uint32_t limit;  // bytes that reads may touch (0 when the header is unusable)
    bool mapped;     // `image` lies in a read-only mapping of the file that holds it
};

struct bfs_cursor {
    const BfsArchive* archive;
    int32_t index;
    int32_t record_offset;
    int32_t run_length;
    uint32_t name_length;
    uint32_t record_length;
    const unsigned char* entry_block;  // null past the end or when damaged
};

// Describes an image of `length` bytes as an archive (no allocation).
BfsArchive bfs_describe(const unsigned char* image, size_t length);

// Why bfs_resource gave no archive.
enum BfsFailure {
    BFS_FOUND,          // it did give one
    BFS_ABSENT,         // the file carries no archive (or cannot be read)
    BFS_DAMAGED,        // the file ends in a trailer, but what it leads to is not intact
    BFS_PATH_TOO_LONG,  // the executable's path is longer than the system can give
};

// The archive of the running executable (module_name null) or of a loaded
// shared object, when it is intact (bfs_intact). out_path, when given,
// receives a malloc'd copy of the path (or the module name) even when no
// archive is found; why, when given, receives the reason for a null result.
const BfsArchive* bfs_resource(const char* module_name, char** out_path, BfsFailure* why = nullptr);

// An archive appended, with its trailer, to the end of a file; null path is
// the running executable. The result lives for the life of the process.
const BfsArchive* bfs_map_file(const char* path);

bool bfs_valid(const BfsArchive* archive);

// True when an archive followed by its trailer is laid out as the packer
// writes it, so that every entry the directory lists can be found and every
// block lies where it should: the header's size is the image's and the
// trailer repeats the header; the directory's records lie inside the image;
// with a hash index, the index follows the directory and its buckets, in
// ascending order, hold exactly the records whose names hash to them; the
// entry blocks follow in directory order, back to back on four-byte
// boundaries up to the archive's end, each of a plausible size (a plain
// entry stores exactly its size). Linear in the directory's length; the
// entries' contents are not read.
bool bfs_intact(const BfsArchive* archive);
int bfs_lookup(const BfsArchive* archive, const char* name, size_t name_length, bfs_cursor* out_cursor);

uint32_t bfs_size(const bfs_cursor* cursor);
void* bfs_read(const bfs_cursor* cursor, void* buffer);
// Copies bytes [offset, offset + n) of an entry stored uncompressed, as
// bfs_read gives them, into buffer: a large entry read piece by piece needs
// no buffer of its whole size. Null for a compressed entry or a range
// beyond the entry.
void* bfs_read_part(const bfs_cursor* cursor, size_t offset, size_t n, void* buffer);
// Lets the system take back the memory that reading the entry's stored bytes
// filled, in an archive mapped from its file: a large entry written out once
// need not stay in the process's memory. Nothing for an image in memory.
void bfs_release(const bfs_cursor* cursor);
void* panic_alloc(size_t size, const char* label);
char* bfs_extract(const BfsArchive* archive, const char* name, const char* label);

// Name hash and bucket as the archive's hash index uses them.
uint32_t bfs_hash(const unsigned char* name, size_t length);
uint32_t bfs_bucket(uint32_t hash, uint32_t mask);

// Cursor steps.
void bfs_cursor_start(bfs_cursor* c, const BfsArchive* archive, int32_t record_offset, int32_t run_length);
void bfs_cursor_start_all(bfs_cursor* c, const BfsArchive* archive);
bool bfs_cursor_valid(const bfs_cursor* c);
void bfs_cursor_next(bfs_cursor* c);
bool bfs_cursor_name_equals(const bfs_cursor* c, const unsigned char* name, size_t length);
// Copies the current (plain) name into buf, which must hold name_length bytes.
void bfs_cursor_name(const bfs_cursor* c, unsigned char* buf);

// True when the entry's stored bytes lie inside the image and its size is
// one that they can yield (zlib cannot expand beyond about 1032:1); checked
// before a buffer of that size is allocated for untrusted images.
bool bfs_entry_plausible(const bfs_cursor* c);

// Fields of the current entry block (valid only while entry_block is set).
uint32_t bfs_stored_length(const bfs_cursor* c);
uint32_t bfs_entry_flags(const bfs_cursor* c);

// Little-endian reads.
inline uint32_t bfs_u32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t bfs_u16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }
