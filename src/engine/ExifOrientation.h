#pragma once
// The orientation entry (tag 274) of a raw EXIF block as FreeImage keeps it
// ("Exif\0\0" followed by a TIFF structure). JPEG files are written from this
// block, so resetting the orientation of a saved JPEG means patching it.
// The block comes from the file being edited: every offset is checked.

#include <cstddef>
#include <cstdint>

// The orientation value, or 0 when the block has none or is malformed.
uint16_t readRawExifOrientation(const unsigned char* block, size_t size);
// Sets the orientation value in place; false when there is no such entry.
bool writeRawExifOrientation(unsigned char* block, size_t size, uint16_t value);
