// Resources lie beside the module: <module dir>/../share/tessaline/, which
// holds both in the build tree (build/lib -> build/share) and installed.

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ailayers/AILayers.h"

namespace {

// Model streams are tens of megabytes at most; a larger file is not ours.
constexpr off_t kMaxResourceBytes = off_t(1) << 30;

std::string moduleFilePath()
{
    Dl_info info {};
    if (dladdr(reinterpret_cast<void*>(&resourceFolder), &info) == 0 || info.dli_fname == nullptr) return {};
    // A module a host opened by a relative path is reported by that path,
    // relative to the working directory; the main program may be reported by
    // a bare name, or by a path that no longer resolves: the kernel knows the
    // real file then.
    char resolved[PATH_MAX];
    if (std::strchr(info.dli_fname, '/') != nullptr && realpath(info.dli_fname, resolved) != nullptr) return resolved;
    if (realpath("/proc/self/exe", resolved) == nullptr) return {};
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

// Resolved while the module is loaded, before a host can change its working
// directory under a relative path.
const std::string g_moduleFile = moduleFilePath();

} // namespace

std::string resourceFolder()
{
    const std::string& module = g_moduleFile;
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
