#include "services/UserFolders.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace userfolders {
namespace {

std::string homeFolder()
{
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

// An XDG variable counts only when it holds an absolute path.
std::string xdgFolder(const char* variable, const char* fallbackBelowHome)
{
    const char* value = std::getenv(variable);
    if (value && value[0] == '/') return value;
    return homeFolder() + "/" + fallbackBelowHome;
}

bool isRealDirectory(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::string cacheFolder() { return xdgFolder("XDG_CACHE_HOME", ".cache") + "/kestrelion"; }

std::string configFolder() { return xdgFolder("XDG_CONFIG_HOME", ".config") + "/Kestrelion"; }

bool ensureFolder(const std::string& path, unsigned mode)
{
    if (path.empty()) return false;
    if (isRealDirectory(path)) return true;
    // Create the missing parents first (private to the user), then the folder.
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return false;
    return isRealDirectory(path);
}

int openForAppendNoFollow(const std::string& path)
{
    return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
}

} // namespace userfolders
