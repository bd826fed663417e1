#pragma once
// What the fuzz targets share: a quiet process with a main run loop (the
// library defines LLVMFuzzerInitialize), checks whose failure is a crash (so
// libFuzzer keeps the input), and a scratch directory for targets that go
// through files.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/Value.h"

// Aborts with the failed condition: the input is a finding.
#define FUZZ_CHECK(condition)                                                         \
    do {                                                                              \
        if (!(condition)) ::wharf::fuzz::checkFailed(#condition, __FILE__, __LINE__); \
    } while (0)

namespace wharf::fuzz {

[[noreturn]] void checkFailed(const char* condition, const char* file, int line);

// A directory of this process, emptied by clearScratch().
const std::string& scratchDir();
void clearScratch();

// Splits the input at the first occurrence of `separator`: the part before and
// the part after (everything and "" when there is no separator).
std::pair<std::string_view, std::string_view> splitAt(std::string_view input, std::string_view separator);

// Reads the input as a small stream of choices: each call takes one byte (0
// once the input has run out).
class Choices {
public:
    Choices(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    std::string_view rest() const { return {reinterpret_cast<const char*>(data_) + offset_, size_ - offset_}; }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

}  // namespace wharf::fuzz
