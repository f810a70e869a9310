// Kernel binary cache files and their companion check files, with any
// content: a binary reaches the driver only when its check file matches it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "NNInference/KernelBinaryCache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string folder = [] {
        char pattern[] = "/tmp/kernel_cache_fuzz.XXXXXX";
        const char* made = ::mkdtemp(pattern);
        return std::string(made != nullptr ? made : "/tmp");
    }();
    const std::string path = folder + "/ailayers_fuzz_1.tmp";
    // The first byte splits the input into the check file and the binary.
    const size_t split = size > 0 ? std::min<size_t>(data[0], size - 1) : 0;
    const std::vector<unsigned char> check(data + (size > 0 ? 1 : 0), data + (size > 0 ? 1 + split : 0));
    const std::vector<unsigned char> binary(data + (size > 0 ? 1 + split : 0), data + size);
    if (!kernelcache::writeFileAtomically(path + ".check", check) || !kernelcache::writeFileAtomically(path, binary))
        return 0;
    std::vector<unsigned char> loaded;
    if (kernelcache::loadVerifiedBinary(path, loaded) && loaded != binary) std::abort();
    // What storeBinary writes must always verify.
    if (!binary.empty() && kernelcache::storeBinary(path, binary)) {
        if (!kernelcache::loadVerifiedBinary(path, loaded) || loaded != binary) std::abort();
    }
    return 0;
}
