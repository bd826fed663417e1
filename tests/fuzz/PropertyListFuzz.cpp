// libFuzzer target for the property-list reader and writer. Whatever the
// input, reading answers a value or an error; a value read is written in both
// formats, and what is written reads back to the same bytes when written again.
//
// Built apart from the normal build (clang, from the source tree's root):
//   clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -Isrc \
//     tests/fuzz/PropertyListFuzz.cpp src/platform/PropertyList*.cpp src/platform/Value.cpp \
//     src/platform/Error.cpp $(pkg-config --cflags --libs expat) -o plist-fuzz
//   ./plist-fuzz -max_len=65536 corpus/
#include <cstdint>
#include <cstdlib>

#include "platform/PropertyList.h"

using namespace wharf::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto value = plist::parse(Bytes(data, data + size));
    if (!value) return 0;
    for (auto format : {plist::Format::XML, plist::Format::Binary}) {
        Error error;
        const auto written = plist::serialize(*value, format, &error);
        if (!written) {
            // Only XML may refuse what was read: dates beyond the years it holds.
            if (format == plist::Format::Binary || error.localizedDescription().find("date") == std::string::npos)
                std::abort();
            continue;
        }
        const auto back = plist::parse(*written);
        if (!back) std::abort();
        const auto again = plist::serialize(*back, format);
        if (!again || *again != *written) std::abort();
    }
    return 0;
}
