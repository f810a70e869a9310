#pragma once
// Where processImageFromFile writes its result: an explicit file, an explicit
// folder (made to exist, nothing processed), or by default
// <input folder>/Retouched/<name>_retouched<ext>.

#include <string>

enum class TargetKind { File, FolderOnly, Failed };

struct OutputTarget {
    TargetKind kind = TargetKind::Failed;
    std::string file;
};

// The folder part of a path: up to its last '/' or '\'; "." when it has none.
std::string folderOfPath(const std::string& path);
// The default result name beside the input (no file system access).
std::string defaultOutputFile(const std::string& input);
// Applies the rules, creating missing folders with mode 0777 (less the umask)
// and printing the interface's messages on standard output.
OutputTarget resolveOutputTarget(const std::string& input, const std::string& output);
// Creates `folder` and any missing parents; true when it is a folder afterwards.
bool makeFolders(const std::string& folder);
