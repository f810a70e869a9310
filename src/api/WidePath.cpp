#include "api/WidePath.h"

#include <clocale>
#include <climits>
#include <cwchar>
#include <locale.h>

namespace {

// One UTF-8 locale for the life of the process; C.UTF-8 is always present on
// Debian, en_US.UTF-8 is the fallback of other systems.
locale_t utf8Locale()
{
    static const locale_t locale = [] {
        locale_t made = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        if (made == static_cast<locale_t>(0)) made = newlocale(LC_CTYPE_MASK, "en_US.UTF-8", static_cast<locale_t>(0));
        return made;
    }();
    return locale;
}

} // namespace

std::string wstring_to_string(const wchar_t* text, bool* ok)
{
    if (ok) *ok = true;
    std::string narrow;
    if (text == nullptr) return narrow;
    const locale_t utf8 = utf8Locale();
    if (utf8 == static_cast<locale_t>(0)) {
        if (ok) *ok = false;
        return narrow;
    }
    const locale_t previous = uselocale(utf8);
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    bool good = true;
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        const size_t n = std::wcrtomb(bytes, *p, &state);
        if (n == static_cast<size_t>(-1)) {
            good = false;
            break;
        }
        narrow.append(bytes, n);
    }
    uselocale(previous);
    if (!good) narrow.clear();
    if (ok) *ok = good;
    return narrow;
}
