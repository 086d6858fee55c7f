// A configuration value: always held as text, read as a string or a number
// at each use.
#pragma once

#include <string>

class Chameleon {
  public:
    Chameleon(std::string text);
    Chameleon(const char* text);
    Chameleon(double number);

    Chameleon& operator=(const std::string& text);
    Chameleon& operator=(double number);

    operator std::string() const;
    // The longest leading number of the text (strtod); 0 when there is none.
    operator double() const;

  private:
    std::string value_;
};
