// Chameleon keeps any text as given and reads it as strtod does; numbers
// survive the trip through text to six significant digits, and a number
// read back from its text formats to the same text.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/Chameleon.h"

namespace {

void check_text(const std::string& text) {
    Chameleon value(text);
    if (static_cast<std::string>(value) != text) {
        std::abort();
    }
    const double expected = std::strtod(text.c_str(), nullptr);
    const double parsed = static_cast<double>(value);
    if (!(parsed == expected || (std::isnan(parsed) && std::isnan(expected)))) {
        std::abort();
    }
}

void check_number(double number) {
    const std::string text = Chameleon(number);
    const double back = static_cast<double>(Chameleon(text));
    if (std::isnan(number)) {
        if (!std::isnan(back)) {
            std::abort();
        }
        return;
    }
    if (std::isfinite(number) && std::fabs(back - number) > 5e-6 * std::fabs(number)) {
        std::abort();
    }
    if (static_cast<std::string>(Chameleon(back)) != text) {
        std::abort();
    }
    Chameleon assigned("anything");
    assigned = number;
    if (static_cast<std::string>(assigned) != text) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_text(std::string(reinterpret_cast<const char*>(data), size));
    if (size >= sizeof(double)) {
        double number;
        std::memcpy(&number, data, sizeof number);
        check_number(number);
    }
    return 0;
}
