#pragma once
// The float image record used for every image in the system: interleaved,
// row-major, top row first, no padding. The record does not own its data;
// whoever allocates it releases it (see allocate/release).

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

template <typename T>
class image_template {
public:
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 0;
    T* data = nullptr;

    image_template() = default;
    image_template(int32_t w, int32_t h, int32_t c, T* d) : width(w), height(h), channels(c), data(d) {}

    // Number of values (not counting the slack), in 64 bits.
    int64_t elementCount() const
    {
        return static_cast<int64_t>(width) * height * channels;
    }

    bool empty() const { return data == nullptr; }

    std::string shape() const
    {
        // Appended piece by piece: GCC 12 warns falsely on "literal" + string at -O3.
        std::string text("(");
        text += std::to_string(width);
        text += ", ";
        text += std::to_string(height);
        text += ", ";
        text += std::to_string(channels);
        text += ")";
        return text;
    }

    // Releases the old data and allocates w*h*c + c values (the extra c are
    // slack at the end) without throwing. The size is computed in 64 bits; a
    // negative size or one that cannot be addressed leaves an empty image, as
    // does a failed allocation. Returns whether data is now allocated.
    bool allocate(int32_t w, int32_t h, int32_t c)
    {
        release();
        if (w < 0 || h < 0 || c < 0) return false;
        const uint64_t count = static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * static_cast<uint64_t>(c) +
                               static_cast<uint64_t>(c);
        if (count > maxElements()) return false;
        data = new (std::nothrow) T[count];
        if (data == nullptr) return false;
        width = w;
        height = h;
        channels = c;
        return true;
    }

    void release()
    {
        delete[] data;
        data = nullptr;
        width = height = channels = 0;
    }

    static constexpr uint64_t maxElements()
    {
        return static_cast<uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(T);
    }
};
