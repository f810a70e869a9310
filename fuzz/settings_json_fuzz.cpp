// Settings JSON from a host: any text gives 0 or -1 and leaves the engine's
// values in their ranges.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/PhotoCreator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    PhotoCreator engine(false);
    const int result = engine.SetSettingsFromJson(std::string(reinterpret_cast<const char*>(data), size));
    if (result != 0 && result != -1) std::abort();
    if (!(engine.strength >= 0.0f && engine.strength <= 100.0f)) std::abort();
    if (engine.processingScale < -1 || engine.processingScale > 3) std::abort();
    engine.GetSettingsInJson();
    return 0;
}
