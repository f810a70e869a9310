#include "engine/ExifOrientation.h"

#include <cstring>

namespace {

constexpr uint16_t kOrientationTag = 274;
constexpr uint16_t kTypeShort = 3;
constexpr size_t kExifHeader = 6; // "Exif\0\0"

struct TiffView {
    const unsigned char* base = nullptr;
    size_t size = 0;
    bool bigEndian = false;

    bool read16(size_t at, uint16_t& v) const
    {
        if (at > size || size - at < 2) return false;
        v = bigEndian ? static_cast<uint16_t>(base[at] << 8 | base[at + 1])
                      : static_cast<uint16_t>(base[at + 1] << 8 | base[at]);
        return true;
    }
    bool read32(size_t at, uint32_t& v) const
    {
        if (at > size || size - at < 4) return false;
        const unsigned char* p = base + at;
        v = bigEndian ? (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3])
                      : (uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]);
        return true;
    }
};

// Offset (from the block's start) of the orientation value, or 0.
size_t findOrientationValue(const unsigned char* block, size_t size)
{
    if (block == nullptr || size < kExifHeader + 8 || std::memcmp(block, "Exif\0\0", kExifHeader) != 0) return 0;
    TiffView tiff{block + kExifHeader, size - kExifHeader, false};
    if (std::memcmp(tiff.base, "MM", 2) == 0) tiff.bigEndian = true;
    else if (std::memcmp(tiff.base, "II", 2) != 0) return 0;
    uint16_t magic = 0;
    uint32_t ifd = 0;
    uint16_t entries = 0;
    if (!tiff.read16(2, magic) || magic != 42 || !tiff.read32(4, ifd) || !tiff.read16(ifd, entries)) return 0;
    for (uint32_t i = 0; i < entries; ++i) {
        const size_t entry = size_t(ifd) + 2 + size_t(i) * 12;
        uint16_t tag = 0, type = 0;
        uint32_t count = 0;
        if (!tiff.read16(entry, tag) || !tiff.read16(entry + 2, type) || !tiff.read32(entry + 4, count)) return 0;
        if (tag != kOrientationTag) continue;
        uint16_t value = 0;
        if (type != kTypeShort || count != 1 || !tiff.read16(entry + 8, value)) return 0;
        return kExifHeader + entry + 8;
    }
    return 0;
}

} // namespace

uint16_t readRawExifOrientation(const unsigned char* block, size_t size)
{
    const size_t at = findOrientationValue(block, size);
    if (at == 0) return 0;
    const bool bigEndian = block[kExifHeader] == 'M';
    return bigEndian ? static_cast<uint16_t>(block[at] << 8 | block[at + 1])
                     : static_cast<uint16_t>(block[at + 1] << 8 | block[at]);
}

bool writeRawExifOrientation(unsigned char* block, size_t size, uint16_t value)
{
    const size_t at = findOrientationValue(block, size);
    if (at == 0) return false;
    const bool bigEndian = block[kExifHeader] == 'M';
    block[at] = static_cast<unsigned char>(bigEndian ? value >> 8 : value & 0xFF);
    block[at + 1] = static_cast<unsigned char>(bigEndian ? value & 0xFF : value >> 8);
    return true;
}
