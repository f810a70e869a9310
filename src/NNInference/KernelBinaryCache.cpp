#include "NNInference/KernelBinaryCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "services/UserFolders.h"

namespace kernelcache {

uint64_t programHash(const std::vector<std::string>& parts)
{
    uint64_t hash = 14695981039346656037ull;
    auto mix = [&hash](unsigned char byte) {
        hash ^= byte;
        hash *= 1099511628211ull;
    };
    for (const std::string& part : parts) {
        for (char c : part) mix(static_cast<unsigned char>(c));
        mix(0);
    }
    return hash;
}

std::string sanitizedDeviceName(const std::string& deviceName)
{
    std::string name = deviceName;
    for (char& c : name) {
        const bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letterOrDigit) c = '_';
    }
    return name;
}

std::string cacheFilePath(const std::string& deviceName, uint64_t hash)
{
    return userfolders::cacheFolder() + "/ailayers_" + sanitizedDeviceName(deviceName) + "_" +
           std::to_string(hash) + ".tmp";
}

bool readFile(const std::string& path, std::vector<unsigned char>& content, uint64_t maxBytes)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
              static_cast<uint64_t>(info.st_size) <= maxBytes;
    if (ok) {
        content.resize(static_cast<size_t>(info.st_size));
        size_t done = 0;
        while (ok && done < content.size()) {
            const ssize_t got = ::read(fd, content.data() + done, content.size() - done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) ok = false;
            else done += static_cast<size_t>(got);
        }
    }
    ::close(fd);
    if (!ok) content.clear();
    return ok;
}

bool writeFileAtomically(const std::string& path, const std::vector<unsigned char>& content)
{
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && !userfolders::ensureFolder(path.substr(0, slash))) return false;
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < content.size()) {
        const ssize_t written = ::write(fd, content.data() + done, content.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) ok = false;
        else done += static_cast<size_t>(written);
    }
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

namespace {

std::string checkText(const std::vector<unsigned char>& binary)
{
    const uint64_t hash = programHash({std::string(binary.begin(), binary.end())});
    return std::to_string(binary.size()) + " " + std::to_string(hash) + "\n";
}

} // namespace

bool storeBinary(const std::string& path, const std::vector<unsigned char>& binary)
{
    const std::string check = checkText(binary);
    return writeFileAtomically(path, binary) &&
           writeFileAtomically(path + ".check", std::vector<unsigned char>(check.begin(), check.end()));
}

bool loadVerifiedBinary(const std::string& path, std::vector<unsigned char>& binary)
{
    // Only a private folder of our own is trusted, never one reached through a link.
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && !userfolders::ensureFolder(path.substr(0, slash))) return false;
    std::vector<unsigned char> check;
    if (!readFile(path + ".check", check, 64) || !readFile(path, binary)) return false;
    if (std::string(check.begin(), check.end()) == checkText(binary)) return true;
    binary.clear();
    return false;
}

} // namespace kernelcache
