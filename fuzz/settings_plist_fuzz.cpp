// Feeds arbitrary bytes to the settings store as its property-list file, then
// reads and writes through it as the engine does at start-up.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "services/SettingsStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = "/tmp/tessaline-fuzz-" + std::to_string(getpid()) + "/Kestrelion.plist";
    static bool pointed = false;
    if (!pointed) {
        setSettingsFilePath(path);
        pointed = true;
    }
    const std::string folder = path.substr(0, path.rfind('/'));
    mkdir(folder.c_str(), 0700);
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    getFromRegInt("Kestrelion Tessaline", "ailayersFlags", 0);
    getFromReg("AIlayers", "logging", "0");
    setToReg("AILayers", "tilessplit", "1");
    return 0;
}
