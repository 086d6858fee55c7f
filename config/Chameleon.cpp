#include "config/Chameleon.h"

#include <cstdlib>
#include <locale>
#include <sstream>
#include <utility>

namespace {

// Six significant digits in general notation, with a full stop whatever the
// global locale: the text is written to files that other runs read back.
std::string FormatNumber(double number) {
    std::stringstream stream;
    stream.imbue(std::locale::classic());
    stream << number;
    return stream.str();
}

}  // namespace

Chameleon::Chameleon(std::string text) : value_(std::move(text)) {}

Chameleon::Chameleon(const char* text) : value_(text) {}

Chameleon::Chameleon(double number) : value_(FormatNumber(number)) {}

Chameleon& Chameleon::operator=(const std::string& text) {
    value_ = text;
    return *this;
}

Chameleon& Chameleon::operator=(double number) {
    value_ = FormatNumber(number);
    return *this;
}

Chameleon::operator std::string() const { return value_; }

Chameleon::operator double() const { return std::strtod(value_.c_str(), nullptr); }
