#pragma once
// Wide-character paths of the library interface, narrowed to the UTF-8 bytes
// the file system uses.

#include <string>

// Converts with the C library's multibyte conversion in a UTF-8 locale,
// whatever locale the host process runs in. ASCII is unchanged. `ok` (when
// given) becomes false for a character that has no UTF-8 form; the result is
// then empty. A null pointer gives an empty string.
std::string wstring_to_string(const wchar_t* text, bool* ok = nullptr);
