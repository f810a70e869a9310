// Raw EXIF blocks come from the file being edited; reading and patching the
// orientation must stay inside the block.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/ExifOrientation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<unsigned char> block(data, data + size);
    readRawExifOrientation(block.data(), block.size());
    writeRawExifOrientation(block.data(), block.size(), 1);
    return 0;
}
