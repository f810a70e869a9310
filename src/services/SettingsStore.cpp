#include "services/SettingsStore.h"

#include <plist/plist.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "services/UserFolders.h"

namespace {

// A settings file is a handful of short strings; anything this large is not ours.
constexpr off_t kMaxSettingsFileBytes = 16 * 1024 * 1024;

std::string g_settingsFileOverride;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

enum class FileState { Missing, Unusable, Loaded };

std::string folderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool readWholeFile(const std::string& path, std::string& bytes, bool& missing)
{
    missing = false;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        missing = errno == ENOENT;
        return false;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxSettingsFileBytes;
    if (ok) {
        bytes.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (ok && done < bytes.size()) {
            const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) ok = false;
            else done += static_cast<size_t>(n);
        }
    }
    close(fd);
    return ok;
}

// Every value of a dictionary this store owns is a string; a file holding
// anything else belongs to someone else and is left alone.
bool isStringDictionary(plist_t root)
{
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return false;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(root, &iter);
    bool allStrings = true;
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root, iter, &key, &value);
        std::free(key);
        if (value == nullptr) break;
        if (plist_get_node_type(value) != PLIST_STRING) allStrings = false;
    }
    std::free(iter);
    return allStrings;
}

FileState loadDictionary(PlistPtr& dictionary)
{
    std::string bytes;
    bool missing = false;
    if (!readWholeFile(settingsFilePath(), bytes, missing)) return missing ? FileState::Missing : FileState::Unusable;
    if (bytes.empty() || bytes.size() > UINT32_MAX) return FileState::Unusable;
    plist_t root = nullptr;
    plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    dictionary.reset(root);
    return isStringDictionary(root) ? FileState::Loaded : FileState::Unusable;
}

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Writes to a temporary file in the same folder and renames it over the
// target, so readers in other processes never see a half-written file.
bool replaceFileAtomically(const std::string& path, const char* data, size_t size)
{
    const std::string folder = folderOf(path);
    if (!userfolders::ensureFolder(folder, 0700)) return false;
    std::string temporary = folder + "/.Kestrelion.plist.XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) return false;
    const bool written = writeAll(fd, data, size) && fsync(fd) == 0;
    if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool parseLeadingInt(const std::string& text, int& value)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) return false;
    value = static_cast<int>(parsed);
    return true;
}

} // namespace

std::string settingsFilePath()
{
    if (!g_settingsFileOverride.empty()) return g_settingsFileOverride;
    return userfolders::configFolder() + "/Kestrelion.plist";
}

void setSettingsFilePath(const std::string& path) { g_settingsFileOverride = path; }

std::string deleteOldSettings(const std::string& /*domain*/, const std::string& /*name*/) { return {}; }

bool getFromPlist(const std::string& key, std::string& value)
{
    PlistPtr dictionary;
    if (loadDictionary(dictionary) == FileState::Missing || dictionary == nullptr ||
        plist_get_node_type(dictionary.get()) != PLIST_DICT)
        return false;
    plist_t node = plist_dict_get_item(dictionary.get(), key.c_str());
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return false;
    char* text = nullptr;
    plist_get_string_val(node, &text);
    if (text == nullptr) return false;
    value = text;
    std::free(text);
    return true;
}

void updatePlist(const std::string& value, const std::string& key)
{
    PlistPtr dictionary;
    switch (loadDictionary(dictionary)) {
    case FileState::Unusable: return;
    case FileState::Missing: dictionary.reset(plist_new_dict()); break;
    case FileState::Loaded: break;
    }
    plist_dict_set_item(dictionary.get(), key.c_str(), plist_new_string(value.c_str()));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(dictionary.get(), &xml, &length);
    if (xml == nullptr || length == 0) return;
    replaceFileAtomically(settingsFilePath(), xml, length);
    plist_to_xml_free(xml);
}

void setToReg(const std::string& domain, const std::string& name, const std::string& value)
{
    updatePlist(value, domain + "_" + name);
}

std::string getFromReg(const std::string& domain, const std::string& name, const std::string& defaultValue)
{
    const std::string key = domain + "_" + name;
    const std::string legacy = deleteOldSettings(domain, name);
    std::string stored;
    if (getFromPlist(key, stored)) return stored;
    const std::string& value = legacy.empty() ? defaultValue : legacy;
    setToReg(domain, name, value);
    return value;
}

int getFromRegInt(const std::string& domain, const std::string& name, int defaultValue)
{
    const std::string text = getFromReg(domain, name, std::to_string(defaultValue));
    int value = defaultValue;
    if (text.empty() || !parseLeadingInt(text, value)) return defaultValue;
    return value;
}
