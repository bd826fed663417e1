// Property lists, binary and XML, through the public reader and writer. What
// the reader accepts, the writer writes: the binary format holds every value,
// XML everything but dates beyond the years it can spell. Written and read
// back in either format, a second write gives the same bytes.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "platform/storage/PropertyList.h"

using namespace wharf;
using namespace wharf::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Error error;
    auto value = plist::parse(Bytes(data, data + size), &error);
    if (!value) return 0;
    for (auto format : {plist::Format::XML, plist::Format::Binary}) {
        auto written = plist::serialize(*value, format, &error);
        if (!written) {
            FUZZ_CHECK(format == plist::Format::XML && error.localizedDescription().find("date") != std::string::npos);
            continue;
        }
        auto reread = plist::parse(*written, &error);
        FUZZ_CHECK(reread);
        auto rewritten = plist::serialize(*reread, format);
        FUZZ_CHECK(rewritten && *rewritten == *written);
    }
    return 0;
}
