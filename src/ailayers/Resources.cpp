// Resources lie beside the module: <module dir>/../share/tessaline/, which
// holds both in the build tree (build/lib -> build/share) and installed.

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>

#include "ailayers/AILayers.h"

namespace {

// Model streams are tens of megabytes at most; a larger file is not ours.
constexpr off_t kMaxResourceBytes = off_t(1) << 30;

std::string moduleFilePath()
{
    Dl_info info {};
    if (dladdr(reinterpret_cast<void*>(&resourceFolder), &info) == 0 || info.dli_fname == nullptr) return {};
    // For code linked into the main program the loader may report a name
    // relative to the start directory; the kernel knows the real file.
    const char* name = info.dli_fname;
    if (name[0] != '/') name = "/proc/self/exe";
    char resolved[PATH_MAX];
    if (realpath(name, resolved) == nullptr) return {};
    return resolved;
}

bool readResourceFile(const std::string& path, unsigned char*& bytes, size_t& size)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxResourceBytes;
    unsigned char* data = nullptr;
    const size_t length = ok ? static_cast<size_t>(st.st_size) : 0;
    if (ok) {
        data = new (std::nothrow) unsigned char[length > 0 ? length : 1];
        ok = data != nullptr;
    }
    for (size_t done = 0; ok && done < length;) {
        const ssize_t n = read(fd, data + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else done += static_cast<size_t>(n);
    }
    close(fd);
    if (!ok) {
        delete[] data;
        return false;
    }
    bytes = data;
    size = length;
    return true;
}

std::string resourcePath(const char* name, const char* type)
{
    const std::string folder = resourceFolder();
    if (folder.empty() || name == nullptr || type == nullptr) return {};
    return folder + "/" + name + "." + type;
}

} // namespace

std::string resourceFolder()
{
    const std::string module = moduleFilePath();
    const size_t slash = module.find_last_of('/');
    if (slash == std::string::npos) return {};
    return module.substr(0, slash) + "/../share/tessaline";
}

void loadResource(const char* name, const char* type, unsigned char*& data, size_t& size)
{
    const std::string path = resourcePath(name, type);
    if (path.empty()) return;
    readResourceFile(path, data, size);
}

std::vector<unsigned char> loadResource(const char* name, const char* type)
{
    unsigned char* data = nullptr;
    size_t size = 0;
    loadResource(name, type, data, size);
    std::vector<unsigned char> bytes(data, data + size);
    delete[] data;
    return bytes;
}
