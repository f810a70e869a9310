// Model streams of any content must load or fail with a message, never crash
// or allocate what the bytes merely announce. Loading needs an OpenCL context
// (weights are uploaded while reading), so one engine serves every input.

#include <cstddef>
#include <cstdint>

#include "NNInference/NNInference.h"
#include "ailayers/DiagnosticsLog.h"

namespace {

void ignoreMessage(std::string) {}

NNInference* sharedEngine()
{
    static NNInference* engine = [] {
        kstErrorCallback = ignoreMessage;
        auto* created = new NNInference();
        return created->initialize(0, false, "fuzz", 0) ? created : nullptr;
    }();
    return engine;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    NNInference* engine = sharedEngine();
    if (engine == nullptr) return 0;
    static const uint8_t none = 0;
    engine->loadModelFromMemory(size > 0 ? data : &none, size);
    engine->model.unload();
    engine->clearErrorText();
    oclErrorLog.clear();
    return 0;
}
