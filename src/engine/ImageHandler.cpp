#include "engine/ImageHandler.h"

#include <FreeImage.h>
#include <lcms2.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "engine/ExifOrientation.h"

namespace {

constexpr int kJpegAccurateExifRotate = JPEG_ACCURATE | JPEG_EXIFROTATE; // 10
constexpr int kTiffLzw = TIFF_LZW;                                     // 0x4000
constexpr int kJpegBestQuality = JPEG_QUALITYSUPERB;                   // 0x80
constexpr uint16_t kOrientationTagId = 274;

// Truncation, not rounding, then the clamp; NaN becomes 0.
template <int Full>
unsigned toSample(float value)
{
    const float scaled = value * static_cast<float>(Full);
    if (!(scaled > 0.0f)) return 0;
    if (scaled >= static_cast<float>(Full)) return Full;
    return static_cast<unsigned>(scaled);
}

bool supportedSaveFormat(FREE_IMAGE_FORMAT format)
{
    if (format == FIF_PNG || format == FIF_TIFF) return true;
    return FreeImage_FIFSupportsWriting(format) && FreeImage_FIFSupportsExportBPP(format, 24);
}

void fillPng(const image_template<float>& src, FIBITMAP* dst, bool withMask)
{
    const int64_t W = src.width, H = src.height, C = src.channels;
    for (int64_t i = 0; i < H; ++i) {
        BYTE* line = FreeImage_GetScanLine(dst, static_cast<int>(i));
        const float* row = src.data + (H - 1 - i) * W * C;
        for (int64_t x = 0; x < W; ++x, line += 4, row += C) {
            line[FI_RGBA_RED] = static_cast<BYTE>(toSample<255>(row[0]));
            line[FI_RGBA_GREEN] = static_cast<BYTE>(toSample<255>(row[1]));
            line[FI_RGBA_BLUE] = static_cast<BYTE>(toSample<255>(row[2]));
            line[FI_RGBA_ALPHA] = withMask && C > 3 ? static_cast<BYTE>(toSample<255>(row[3])) : 255;
        }
    }
}

void fillTiff16(const image_template<float>& src, FIBITMAP* dst, bool withMask)
{
    const int64_t W = src.width, H = src.height, C = src.channels;
    const int step = withMask ? 4 : 3;
    for (int64_t i = 0; i < H; ++i) {
        WORD* line = reinterpret_cast<WORD*>(FreeImage_GetScanLine(dst, static_cast<int>(i)));
        const float* row = src.data + (H - 1 - i) * W * C;
        for (int64_t x = 0; x < W; ++x, line += step, row += C)
            for (int c = 0; c < step; ++c)
                line[c] = static_cast<WORD>(c < C ? toSample<65535>(row[c]) : 65535);
    }
}

void fillRgb8(const image_template<float>& src, FIBITMAP* dst)
{
    const int64_t W = src.width, H = src.height, C = src.channels;
    for (int64_t i = 0; i < H; ++i) {
        BYTE* line = FreeImage_GetScanLine(dst, static_cast<int>(i));
        const float* row = src.data + (H - 1 - i) * W * C;
        for (int64_t x = 0; x < W; ++x, line += 3, row += C) {
            line[FI_RGBA_RED] = static_cast<BYTE>(toSample<255>(row[0]));
            line[FI_RGBA_GREEN] = static_cast<BYTE>(toSample<255>(row[1]));
            line[FI_RGBA_BLUE] = static_cast<BYTE>(toSample<255>(row[2]));
        }
    }
}

// Replaces *bitmap by a transformed copy (rotations make new bitmaps).
void rotateInto(FIBITMAP*& bitmap, double degrees)
{
    FIBITMAP* rotated = FreeImage_Rotate(bitmap, degrees);
    if (rotated == nullptr) return;
    FreeImage_CloneMetadata(rotated, bitmap);
    FreeImage_Unload(bitmap);
    bitmap = rotated;
}

// Turns pixels stored in the camera's orientation upright.
void makeUpright(FIBITMAP*& bitmap, uint16_t orientation)
{
    switch (orientation) {
    case 2: FreeImage_FlipHorizontal(bitmap); break;
    case 3: rotateInto(bitmap, 180); break;
    case 4: FreeImage_FlipVertical(bitmap); break;
    case 5: rotateInto(bitmap, -90); FreeImage_FlipHorizontal(bitmap); break;
    case 6: rotateInto(bitmap, -90); break;
    case 7: rotateInto(bitmap, 90); FreeImage_FlipHorizontal(bitmap); break;
    case 8: rotateInto(bitmap, 90); break;
    default: break;
    }
}

// Sets the orientation to 1 in both forms FreeImage keeps: the parsed tag
// and the raw block that the JPEG writer copies into the file.
void resetOrientation(FIBITMAP* bitmap)
{
    FITAG* tag = nullptr;
    if (FreeImage_GetMetadata(FIMD_EXIF_MAIN, bitmap, "Orientation", &tag) && tag &&
        FreeImage_GetTagID(tag) == kOrientationTagId && FreeImage_GetTagType(tag) == FIDT_SHORT &&
        FreeImage_GetTagLength(tag) >= 2) {
        std::vector<BYTE> value(FreeImage_GetTagLength(tag));
        std::memcpy(value.data(), FreeImage_GetTagValue(tag), value.size());
        const WORD one = 1;
        std::memcpy(value.data(), &one, sizeof one);
        FreeImage_SetTagValue(tag, value.data());
    }
    FITAG* raw = nullptr;
    if (FreeImage_GetMetadata(FIMD_EXIF_RAW, bitmap, "ExifRaw", &raw) && raw && FreeImage_GetTagValue(raw)) {
        std::vector<BYTE> block(FreeImage_GetTagLength(raw));
        std::memcpy(block.data(), FreeImage_GetTagValue(raw), block.size());
        if (writeRawExifOrientation(block.data(), block.size(), 1)) FreeImage_SetTagValue(raw, block.data());
    }
}

uint16_t orientationOf(FIBITMAP* bitmap)
{
    FITAG* tag = nullptr;
    if (!FreeImage_GetMetadata(FIMD_EXIF_MAIN, bitmap, "Orientation", &tag) || tag == nullptr) return 0;
    if (FreeImage_GetTagID(tag) != kOrientationTagId || FreeImage_GetTagType(tag) != FIDT_SHORT ||
        FreeImage_GetTagLength(tag) < 2 || FreeImage_GetTagValue(tag) == nullptr)
        return 0;
    WORD value = 0;
    std::memcpy(&value, FreeImage_GetTagValue(tag), sizeof value);
    return value;
}

mode_t currentUmask()
{
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

} // namespace

ImageHandler::~ImageHandler()
{
    ReleaseSourceBitmap();
    ReleaseSaveBitmap();
    DropIccProfile(false);
    saveImage.release();
    mainImage.release();
}

bool ImageHandler::IccHeaderMatchesLength(const unsigned char* data, uint64_t length)
{
    if (data == nullptr || length < 4) return false;
    const uint64_t declared = uint64_t(data[0]) << 24 | uint64_t(data[1]) << 16 | uint64_t(data[2]) << 8 | data[3];
    return declared == length;
}

void ImageHandler::SetIccProfile(const void* data, uint32_t length)
{
    if (data != nullptr && data == iccProfile) return;
    iccProfileLength = length;
    if (iccProfile) {
        delete[] iccProfile;
        iccProfileChanged = true;
    }
    iccProfile = nullptr;
    if (length != 0 && data != nullptr) {
        iccProfile = new (std::nothrow) unsigned char[length];
        if (iccProfile == nullptr) {
            iccProfileLength = 0;
            return;
        }
        std::memcpy(iccProfile, data, length);
        iccProfileChanged = true;
    } else {
        iccProfileLength = 0;
    }
}

void ImageHandler::DropIccProfile(bool markChanged)
{
    delete[] iccProfile;
    iccProfile = nullptr;
    iccProfileLength = 0;
    iccProfileChanged = markChanged;
}

void ImageHandler::ReleaseSourceBitmap()
{
    if (sourceBitmap) FreeImage_Unload(sourceBitmap);
    sourceBitmap = nullptr;
}

void ImageHandler::ReleaseSaveBitmap()
{
    if (saveBitmap) FreeImage_Unload(saveBitmap);
    saveBitmap = nullptr;
}

bool ImageHandler::LoadICCProfile(const void* data, unsigned length, void*, bool& errorFlag, std::string& errorText)
{
    try {
        cmsHPROFILE profile = (data == nullptr || length == 0) ? cmsCreate_sRGBProfile()
                                                                : cmsOpenProfileFromMem(data, length);
        profileHandle = profile;
        if (profile != nullptr) {
            if (data != iccProfile) SetIccProfile(data, length);
        } else {
            profileHandle = cmsCreate_sRGBProfile();
            DropIccProfile(true);
        }
        if (profileHandle) cmsCloseProfile(profileHandle);
        profileHandle = nullptr;
        return true;
    } catch (...) {
        errorText = "Retouching error: load CMS Profile.";
        errorFlag = true;
        return false;
    }
}

bool ImageHandler::loadMainImage(std::string filePath, void*, bool& errorFlag, std::string& errorText)
{
    path = filePath;
    struct stat st {};
    // A folder or a device is not an image; FreeImage would try to read it.
    if (stat(filePath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    FREE_IMAGE_FORMAT format = FreeImage_GetFileType(filePath.c_str(), 0);
    if (format == FIF_UNKNOWN) format = FreeImage_GetFIFFromFilename(filePath.c_str());
    if (format == FIF_UNKNOWN || !FreeImage_FIFSupportsReading(format)) return false;
    FIBITMAP* loaded = FreeImage_Load(format, filePath.c_str(), format == FIF_JPEG ? kJpegAccurateExifRotate : 0);
    if (loaded == nullptr) return false;
    sourceUpright = format == FIF_JPEG;

    FIICCPROFILE* embedded = FreeImage_GetICCProfile(loaded);
    const unsigned char* icc = nullptr;
    uint32_t iccLength = 0;
    if (embedded && embedded->data && embedded->size > 0 &&
        IccHeaderMatchesLength(static_cast<const unsigned char*>(embedded->data), embedded->size)) {
        icc = static_cast<const unsigned char*>(embedded->data);
        iccLength = static_cast<uint32_t>(embedded->size);
    }
    LoadICCProfile(icc, iccLength, nullptr, errorFlag, errorText);

    FIBITMAP* converted = FreeImage_ConvertToRGBF(loaded);
    FreeImage_Unload(loaded);
    if (converted == nullptr) return false;
    const int64_t W = FreeImage_GetWidth(converted);
    const int64_t H = FreeImage_GetHeight(converted);
    if (FreeImage_GetBits(converted) == nullptr || W <= 0 || H <= 0 || !mainImage.allocate(int32_t(W), int32_t(H), 3)) {
        const bool sizeKnown = W > 0 && H > 0 && FreeImage_GetBits(converted) != nullptr;
        FreeImage_Unload(converted);
        if (sizeKnown) {
            errorFlag = true;
            errorText = "Not enough memory RAM!";
        }
        return false;
    }
    std::memset(mainImage.data, 0, static_cast<size_t>(mainImage.elementCount() + 3) * sizeof(float));
    const size_t rowBytes = static_cast<size_t>(W) * 3 * sizeof(float);
    for (int64_t y = 0; y < H; ++y)
        std::memcpy(mainImage.data + y * W * 3, FreeImage_GetScanLine(converted, static_cast<int>(H - 1 - y)),
                    rowBytes);

    // Only the metadata is needed from here on; keep it on a 1 x 1 bitmap
    // rather than holding a second full-size copy of the pixels.
    ReleaseSourceBitmap();
    sourceBitmap = FreeImage_AllocateT(FIT_RGBF, 1, 1);
    if (sourceBitmap) FreeImage_CloneMetadata(sourceBitmap, converted);
    FreeImage_Unload(converted);
    return true;
}

bool ImageHandler::PrepareDataForSaving(std::string filePath, bool withMask, std::string& errorText)
{
    if (saveImage.data == nullptr || saveImage.width <= 0 || saveImage.height <= 0 || saveImage.channels <= 0) {
        errorText = "Image data not allocated";
        return false;
    }
    const FREE_IMAGE_FORMAT format = FreeImage_GetFIFFromFilename(filePath.c_str());
    if (format == FIF_UNKNOWN) return false;
    if (!supportedSaveFormat(format)) {
        errorText = "this file type cannot hold a colour photograph";
        return false;
    }
    saveFormat = format;
    ReleaseSaveBitmap();
    const int W = saveImage.width, H = saveImage.height;
    if (format == FIF_PNG) saveBitmap = FreeImage_Allocate(W, H, 32, FI_RGBA_RED_MASK, FI_RGBA_GREEN_MASK, FI_RGBA_BLUE_MASK);
    else if (format == FIF_TIFF) saveBitmap = FreeImage_AllocateT(withMask ? FIT_RGBA16 : FIT_RGB16, W, H);
    else saveBitmap = FreeImage_Allocate(W, H, 24, FI_RGBA_RED_MASK, FI_RGBA_GREEN_MASK, FI_RGBA_BLUE_MASK);
    if (saveBitmap == nullptr) {
        errorText = "Not enough memory RAM!";
        return false;
    }
    if (format == FIF_PNG) fillPng(saveImage, saveBitmap, withMask);
    else if (format == FIF_TIFF) fillTiff16(saveImage, saveBitmap, withMask);
    else fillRgb8(saveImage, saveBitmap);
    return true;
}

void ImageHandler::SaveImageICC()
{
    saveImage.release();
    if (saveBitmap == nullptr) return;
    if (sourceBitmap) {
        FreeImage_CloneMetadata(saveBitmap, sourceBitmap);
        const uint16_t orientation = orientationOf(saveBitmap);
        if (orientation != 0) {
            // JPEG sources were turned upright when loaded; others are turned
            // now, so the tag can say "upright" for every written file.
            if (!sourceUpright) makeUpright(saveBitmap, orientation);
            resetOrientation(saveBitmap);
        }
    }
    if (iccProfile && iccProfileLength > 0) FreeImage_CreateICCProfile(saveBitmap, iccProfile, iccProfileLength);
    saveFlags = saveFormat == FIF_TIFF ? kTiffLzw : saveFormat == FIF_JPEG ? kJpegBestQuality : 0;
}

bool ImageHandler::WriteSaveBitmap(const std::string& target, std::string& reason)
{
    if (saveBitmap == nullptr) {
        reason = "nothing to write";
        return false;
    }
    const size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp = (slash == std::string::npos ? std::string() : folder) + "." + name + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        reason = std::string("cannot write into the folder: ") + std::strerror(errno);
        ReleaseSaveBitmap();
        return false;
    }
    fchmod(fd, 0666 & ~currentUmask());
    close(fd);
    const bool written = FreeImage_Save(static_cast<FREE_IMAGE_FORMAT>(saveFormat), saveBitmap, temp.c_str(), saveFlags);
    ReleaseSaveBitmap();
    if (!written || std::rename(temp.c_str(), target.c_str()) != 0) {
        const int error = errno;
        unlink(temp.c_str());
        reason = written ? std::string("cannot replace the file: ") + std::strerror(error)
                         : std::string("the image library could not write the file");
        return false;
    }
    return true;
}
