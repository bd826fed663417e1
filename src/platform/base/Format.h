#pragma once
// printf-style formatting into a std::string.
#include <cstdarg>
#include <string>

namespace wharf::platform {

// The format applied to its arguments; "" when the arguments cannot be
// formatted (an encoding error). `args` is consumed.
std::string formatv(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace wharf::platform
