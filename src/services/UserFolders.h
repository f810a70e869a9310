#pragma once
// Per-user folders of the product on Linux, following the XDG base directories.

#include <string>

namespace userfolders {

// $XDG_CACHE_HOME/kestrelion (default ~/.cache/kestrelion), without trailing slash.
// Holds the diagnostics log and the kernel binary cache.
std::string cacheFolder();

// $XDG_CONFIG_HOME/Kestrelion (default ~/.config/Kestrelion).
std::string configFolder();

// Creates `path` and any missing parents; the last component gets `mode`,
// missing parents 0700. True when the folder exists afterwards and is a real
// directory (not a symbolic link).
bool ensureFolder(const std::string& path, unsigned mode = 0700);

// Opens a file for appending, creating it with mode 0600, without following
// a symbolic link at its last component. Returns a descriptor or -1.
int openForAppendNoFollow(const std::string& path);

} // namespace userfolders
