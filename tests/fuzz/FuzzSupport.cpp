#include "FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/base/Log.h"
#include "platform/dispatch/RunLoop.h"

namespace wharf::fuzz {

void checkFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", condition, file, line);
    std::abort();
}

}  // namespace wharf::fuzz

// libFuzzer calls this once before the first input: the main thread's run
// loop, and no log lines on stderr (they would drown libFuzzer's own output and
// slow every run).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    wharf::platform::RunLoop::initMainThread();
    wharf::platform::setLogToStderr(false);
    return 0;
}

namespace wharf::fuzz {

const std::string& scratchDir() {
    // Never destroyed: the exit handler that removes it runs after static destructors.
    static const std::string& dir = *[] {
        auto* pattern = new std::string(std::filesystem::temp_directory_path() / "wharf-fuzz-XXXXXX");
        if (!mkdtemp(pattern->data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(scratchDir(), ec);
        });
        return pattern;
    }();
    return dir;
}

void clearScratch() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(scratchDir(), ec))
        std::filesystem::remove_all(entry.path(), ec);
}

std::pair<std::string_view, std::string_view> splitAt(std::string_view input, std::string_view separator) {
    const auto at = input.find(separator);
    if (at == std::string_view::npos) return {input, {}};
    return {input.substr(0, at), input.substr(at + separator.size())};
}

}  // namespace wharf::fuzz
