#pragma once
// How the toolbox logger makes a line from a printf format and its arguments.
#include <cstdarg>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace wharf {

class TBLogFormatter {
public:
    virtual ~TBLogFormatter() = default;
    // The line, or nullopt for none. `func` is the calling function's name, if given.
    virtual std::optional<std::string> stringForFunc(const std::optional<std::string>& func, const char* format,
                                                     va_list args, int level) __attribute__((format(printf, 3, 0))) = 0;
};

// The format applied to its arguments, nothing more; nullopt without a format.
class TBLogBasicFormatter : public TBLogFormatter {
public:
    std::optional<std::string> stringForFunc(const std::optional<std::string>& func, const char* format, va_list args,
                                             int level) override __attribute__((format(printf, 3, 0)));
    // The name trimmed; "(unknown)" when empty; "name()" unless it already
    // reads as a method ("-[", "+[") or a signature (ends with ")").
    std::string prettyNameForFunc(std::string_view func) const;
};

// "<yyyy-MM-dd HH:mm:ss.SSS> <process>[<pid>/<thread>] [lvl=<level>] <function> <message>",
// the time in local time.
class TBLogStandardFormatter : public TBLogBasicFormatter {
public:
    TBLogStandardFormatter();
    std::optional<std::string> stringForFunc(const std::optional<std::string>& func, const char* format, va_list args,
                                             int level) override __attribute__((format(printf, 3, 0)));

private:
    std::string pname_;
    pid_t pid_;
};

}  // namespace wharf
