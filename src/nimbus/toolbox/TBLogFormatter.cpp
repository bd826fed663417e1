#include "nimbus/toolbox/TBLogFormatter.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

#include "platform/base/Format.h"

namespace wharf {

namespace {

// "yyyy-MM-dd HH:mm:ss.SSS" in local time.
std::string timeStamp() {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    if (!localtime_r(&seconds, &local)) return {};
    char buffer[40];
    const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(buffer + n, sizeof buffer - n, ".%03d", static_cast<int>(ms % 1000));
    return buffer;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

std::optional<std::string> TBLogBasicFormatter::stringForFunc(const std::optional<std::string>&, const char* format,
                                                              va_list args, int) {
    if (!format) return std::nullopt;
    return platform::formatv(format, args);
}

std::string TBLogBasicFormatter::prettyNameForFunc(std::string_view func) const {
    while (!func.empty() && isBlank(func.front())) func.remove_prefix(1);
    while (!func.empty() && isBlank(func.back())) func.remove_suffix(1);
    if (func.empty()) return "(unknown)";
    if (func.starts_with("-[") || func.starts_with("+[") || func.ends_with(")")) return std::string(func);
    return std::string(func) + "()";
}

TBLogStandardFormatter::TBLogStandardFormatter() : pname_(program_invocation_short_name), pid_(::getpid()) {}

std::optional<std::string> TBLogStandardFormatter::stringForFunc(const std::optional<std::string>& func,
                                                                 const char* format, va_list args, int level) {
    auto message = TBLogBasicFormatter::stringForFunc(func, format, args, level);
    if (!message) return std::nullopt;
    char ids[96];
    std::snprintf(ids, sizeof ids, "[%d/%p] [lvl=%d] ", static_cast<int>(pid_), reinterpret_cast<void*>(pthread_self()),
                  level);
    std::string line = timeStamp();
    line += ' ';
    line += pname_;
    line += ids;
    line += prettyNameForFunc(func.value_or(""));
    line += ' ';
    line += *message;
    return line;
}

}  // namespace wharf
