// Prints the text of each date read from stdin, one "digits utc value" line
// each, or "-" where append_stamp_text() declines the value.
#include <cstdint>
#include <iostream>
#include <string>

#include "core/text.hpp"

int main() {
    unsigned digits;
    int utc;
    std::int64_t value;
    while (std::cin >> digits >> utc >> value) {
        std::string out;
        std::cout << (tovrik::core::append_stamp_text(out, value, digits, utc != 0) ? out : "-") << '\n';
    }
}
