#pragma once
// Files that hold built OpenCL program binaries, one per device and program.
// They live in the per-user cache folder; reads never follow a symbolic link
// and writes go to a temporary name first, so a reader sees either a whole
// old file or a whole new one.

#include <cstdint>
#include <string>
#include <vector>

namespace kernelcache {

// 64-bit FNV-1a over the parts, each followed by a zero byte so that moving
// text from one part to the next changes the hash.
uint64_t programHash(const std::vector<std::string>& parts);

// Device names keep ASCII letters and digits; everything else becomes '_'.
std::string sanitizedDeviceName(const std::string& deviceName);

// <cache folder>/ailayers_<device>_<hash>.tmp
std::string cacheFilePath(const std::string& deviceName, uint64_t hash);

// Whole content of a regular file of at most maxBytes; false otherwise.
bool readFile(const std::string& path, std::vector<unsigned char>& content, uint64_t maxBytes = uint64_t(1) << 30);

// Writes content under a temporary name in the same folder, then renames it
// over `path`. False when any step failed (nothing half-written remains).
bool writeFileAtomically(const std::string& path, const std::vector<unsigned char>& content);

// Some drivers abort the process on a damaged program binary instead of
// rejecting it, so every cache file has a companion "<path>.check" holding
// its length and hash, written after it. A binary is handed to the driver
// only when the companion matches.
bool storeBinary(const std::string& path, const std::vector<unsigned char>& binary);
bool loadVerifiedBinary(const std::string& path, std::vector<unsigned char>& binary);

} // namespace kernelcache
