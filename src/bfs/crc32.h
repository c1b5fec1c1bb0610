// CRC-32 of large buffers: the runtime library and libperl are checked
// against their stored checksums on the first start, and the packer computes
// those checksums.
#pragma once

#include <cstddef>
#include <cstdint>

// The CRC-32 that zlib's crc32() computes (reflected polynomial 0xEDB88320,
// inverted before and after), continued from `crc` over n bytes: 0 starts a
// new checksum, and the checksum of a then b is bfs_crc32(bfs_crc32(0, a),
// b). Folds with carry-less multiplication where the processor has it.
uint32_t bfs_crc32(uint32_t crc, const void* data, size_t n);
