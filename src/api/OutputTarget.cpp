#include "api/OutputTarget.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

namespace {

// Extension given to results of inputs whose name has none: 16-bit TIFF keeps
// the precision of any source.
const char* const kFallbackExtension = ".tif";

bool isFolder(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

} // namespace

std::string folderOfPath(const std::string& path)
{
    const size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? std::string(".") : path.substr(0, cut);
}

std::string defaultOutputFile(const std::string& input)
{
    const size_t cut = input.find_last_of("/\\");
    const std::string name = cut == std::string::npos ? input : input.substr(cut + 1);
    const size_t dot = name.find_last_of('.');
    const std::string base = dot == std::string::npos ? name : name.substr(0, dot);
    const std::string extension = dot == std::string::npos ? std::string(kFallbackExtension) : name.substr(dot);
    return folderOfPath(input) + "/Retouched/" + base + "_retouched" + extension;
}

bool makeFolders(const std::string& folder)
{
    if (folder.empty() || isFolder(folder)) return !folder.empty();
    for (size_t at = folder.find('/', 1); at != std::string::npos; at = folder.find('/', at + 1)) {
        const std::string part = folder.substr(0, at);
        if (!exists(part) && mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return false;
    return isFolder(folder);
}

OutputTarget resolveOutputTarget(const std::string& input, const std::string& output)
{
    OutputTarget target;
    std::string folder = output;
    if (output.find('.') != std::string::npos) {
        target.file = output;
        const size_t cut = output.find_last_of("/\\");
        folder = cut == std::string::npos ? std::string() : output.substr(0, cut);
    }
    if (!folder.empty()) {
        if (!exists(folder)) {
            if (!makeFolders(folder)) {
                std::printf("Error creating output path %s\n", folder.c_str());
                return target;
            }
            std::printf("Output path doesn't exists, creating output path %s\n", folder.c_str());
        }
        if (target.file.empty()) {
            target.kind = TargetKind::FolderOnly;
            return target;
        }
    }
    if (target.file.empty()) {
        const std::string retouched = folderOfPath(input) + "/Retouched";
        if (!exists(retouched) && !makeFolders(retouched)) {
            std::printf("Error creating newPath %s\n", retouched.c_str());
            return target;
        }
        target.file = defaultOutputFile(input);
    }
    target.kind = TargetKind::File;
    return target;
}
