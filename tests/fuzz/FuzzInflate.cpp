// Gzip, zlib and raw deflate streams from outside (HTTP bodies, stored
// files): inflation answers the bytes or an error, never a crash or a read
// past the input. The output is bounded by the input size libFuzzer allows
// (-max_len): deflate expands at most about 1032 to 1. What inflation gives
// back, every compression form must carry through unchanged.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "nimbus/toolbox/TBZLibAdditions.h"

using namespace wharf;
using platform::Bytes;

namespace {

void roundTrip(const Bytes& original, int level) {
    platform::Error error;
    auto gzip = tb_dataByGzippingData(original, level, &error);
    FUZZ_CHECK(gzip);
    auto fromGzip = tb_dataByInflatingData(*gzip, &error);
    FUZZ_CHECK(fromGzip && *fromGzip == original);

    auto zlib = tb_dataByDeflatingData(original, level, &error);
    FUZZ_CHECK(zlib);
    auto fromZlib = tb_dataByInflatingData(*zlib, &error);
    FUZZ_CHECK(fromZlib && *fromZlib == original);

    auto raw = tb_dataByRawDeflatingData(original, level, &error);
    FUZZ_CHECK(raw);
    auto fromRaw = tb_dataByRawInflatingData(*raw, &error);
    FUZZ_CHECK(fromRaw && *fromRaw == original);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::Choices choices(data, size);
    const uint8_t mode = choices.byte();
    const auto rest = choices.rest();
    const Bytes input(rest.begin(), rest.end());

    platform::Error error;
    auto inflated = (mode & 1) ? tb_dataByRawInflatingData(input, &error) : tb_dataByInflatingData(input, &error);
    if (inflated && !inflated->empty()) roundTrip(*inflated, (mode >> 1) % 11 - 1);
    return 0;
}
