#pragma once
// Image files for the engine: reading any format FreeImage knows into a packed
// RGB float image, keeping the source's ICC profile and metadata, and turning
// the processed picture back into a bitmap of the target file's format.

#include <cstdint>
#include <string>

#include "image/image_template.h"

struct FIBITMAP;

class ImageHandler {
public:
    ImageHandler() = default;
    virtual ~ImageHandler();
    ImageHandler(const ImageHandler&) = delete;
    ImageHandler& operator=(const ImageHandler&) = delete;

    image_template<float> mainImage;
    // Header and metadata of the last loaded file (no pixels: the pixels live
    // in mainImage); null for images handed over by a host.
    FIBITMAP* sourceBitmap = nullptr;
    unsigned char* iccProfile = nullptr;
    uint32_t iccProfileLength = 0;
    bool iccProfileChanged = false;
    void* profileHandle = nullptr;
    int saveFormat = -1;
    FIBITMAP* saveBitmap = nullptr;
    image_template<float> saveImage;
    int saveFlags = 0;
    std::string path;
    // The loader already turned the pixels upright from the EXIF orientation.
    bool sourceUpright = false;

    bool loadMainImage(std::string path, void* unused, bool& errorFlag, std::string& errorText);
    bool LoadICCProfile(const void* data, unsigned length, void* unused, bool& errorFlag, std::string& errorText);
    bool PrepareDataForSaving(std::string path, bool withMask, std::string& errorText);
    void SaveImageICC();
    // Writes saveBitmap to `path` through a temporary file in the same folder
    // so that a failed write never leaves a damaged target; releases the
    // bitmap. False (with a reason) when the file could not be written.
    bool WriteSaveBitmap(const std::string& path, std::string& reason);

    // Copies `length` bytes as the held profile (length 0 drops it); a call
    // with the pointer already held does nothing.
    void SetIccProfile(const void* data, uint32_t length);
    void DropIccProfile(bool markChanged);
    void ReleaseSourceBitmap();
    void ReleaseSaveBitmap();

    // An embedded profile is trusted only when its header's size field equals
    // the number of bytes that came with it.
    static bool IccHeaderMatchesLength(const unsigned char* data, uint64_t length);
};
