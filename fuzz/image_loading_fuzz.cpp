// Image files through the engine: any bytes, loaded the way the file entry
// loads them, must give an image or a clean refusal.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "engine/PhotoCreator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = "/tmp/tessaline-fuzz-image-" + std::to_string(getpid());
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    PhotoCreator engine(true); // no networks: loading, preview and masks only
    if (engine.LoadMainTextureFromFile(path)) {
        const image_template<float>& image = engine.mainImage;
        volatile float last = image.data[image.elementCount() - 1];
        (void)last;
    }
    return 0;
}
