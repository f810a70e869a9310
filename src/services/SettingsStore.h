#pragma once
// Persistent key/value settings: one XML property list holding a flat
// dictionary of strings, keyed domain + "_" + name. Shared by every product of
// the family, so it is rewritten whole and atomically on each write.

#include <string>

// Stored value, or the default (which is then stored) when the key is missing.
std::string getFromReg(const std::string& domain, const std::string& name, const std::string& defaultValue);
void setToReg(const std::string& domain, const std::string& name, const std::string& value);
// Integer reading of getFromReg: leading blanks and a sign are accepted and the
// number ends at the first non-digit. Empty text, text that does not start
// with a number, or a number outside 32 bits give `defaultValue`.
int getFromRegInt(const std::string& domain, const std::string& name, int defaultValue);

// Low-level access to the file.
void updatePlist(const std::string& value, const std::string& key);
bool getFromPlist(const std::string& key, std::string& value);
// Values kept by older versions elsewhere; there is no such source on Linux.
std::string deleteOldSettings(const std::string& domain, const std::string& name);

// Where the file lives: $XDG_CONFIG_HOME/Kestrelion/Kestrelion.plist unless a
// path has been set with setSettingsFilePath (tests point it at a temporary
// file; an empty path restores the default).
std::string settingsFilePath();
void setSettingsFilePath(const std::string& path);
