// MD5 message digest (RFC 1321), for the checksum the packer stores beside
// the runtime library. Not for anything that needs collision resistance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Md5 {
public:
    Md5();
    void update(const void* data, size_t length);
    // Finishes the digest; the object must not be updated afterwards.
    void final(unsigned char digest[16]);
    // The digest as 32 lowercase hexadecimal characters.
    std::string hex();

private:
    void block(const unsigned char* p);
    uint32_t state_[4];
    uint64_t length_ = 0;  // bytes hashed so far
    unsigned char buffer_[64];
    size_t buffered_ = 0;
};

std::string md5_hex(const void* data, size_t length);
