#include "veskread/images/image_keys.h"

#include <cstdio>

namespace vesk {

std::string letter_index(int64_t number) {
    std::string out;
    for (;;) {
        int64_t d = number / 26;
        out.insert(out.begin(), static_cast<char>('A' + number % 26));
        if (d == 0) return out;
        number = d - 1;
    }
}

std::string image_key(int64_t number) {
    if (number < 100) {
        char buf[24];
        std::snprintf(buf, sizeof buf, "%02lld", static_cast<long long>(number));
        return buf;
    }
    if (number < 126) {
        // Appended rather than "A" + ...: GCC 12 at -O3 flags that with a false -Wrestrict.
        std::string key(1, 'A');
        key += letter_index(number - 100);
        return key;
    }
    return letter_index(number - 100 + 26);
}

} // namespace vesk
