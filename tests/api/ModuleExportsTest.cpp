// The shared module as a host loads it: the C interface is there, the
// internals are not (they could clash with other modules in the host).

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace {

struct Module {
    void* handle = dlopen(TESSALINE_MODULE, RTLD_NOW | RTLD_LOCAL);
    ~Module()
    {
        if (handle) dlclose(handle);
    }
};

} // namespace

TEST(ModuleExports, OnlyTheCInterface)
{
    Module module;
    ASSERT_NE(module.handle, nullptr) << dlerror();
    for (const char* name : {"createInstance", "clearInstance", "getPluginVersion", "setSettingsFromJson",
                             "getSettingsInJson", "setIccProfile", "processImageFromMemory", "processImageFromFile",
                             "showPluginWithImage"})
        EXPECT_NE(dlsym(module.handle, name), nullptr) << name;
    auto version = reinterpret_cast<int (*)()>(dlsym(module.handle, "getPluginVersion"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version(), 1019);
    auto clear = reinterpret_cast<void (*)(void*)>(dlsym(module.handle, "clearInstance"));
    ASSERT_NE(clear, nullptr);
    clear(nullptr);
    EXPECT_EQ(dlsym(module.handle, "_Z14resourceFolderv"), nullptr);
    EXPECT_EQ(dlsym(module.handle, "kstErrorCallback"), nullptr);
}
