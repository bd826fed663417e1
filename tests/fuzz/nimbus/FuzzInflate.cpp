// Gzip, zlib and raw deflate streams from outside (HTTP bodies, stored
// files): inflation answers the bytes or an error, never a crash or a read
// past the input, and never more than the caller's bound. The input's first
// byte picks the form and a compression level, the second the bound. A stream
// refused at the bound is longer than it when given room (or broken past it);
// what inflation gives back, every compression form carries through unchanged.
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
    const uint8_t boundChoice = choices.byte();
    const std::size_t bound = boundChoice == 0 ? 1 : std::size_t{boundChoice} * 256;
    const auto rest = choices.rest();
    const Bytes input(rest.begin(), rest.end());
    const bool raw = mode & 1;
    auto inflate = [&](std::size_t maximum, platform::Error* error) {
        return raw ? tb_dataByRawInflatingData(input, error, maximum) : tb_dataByInflatingData(input, error, maximum);
    };

    // Inputs stay far below the default limit (-max_len), so it never binds here.
    platform::Error error;
    auto whole = inflate(kTBDefaultInflationLimit, &error);
    FUZZ_CHECK(whole || error.code != TBNSDataZlibErrorInflatedTooLarge);
    // A bounded inflation answers what the whole one answers, or stops at the
    // bound: a stream refused there is longer, or broken only further on.
    auto bounded = inflate(bound, &error);
    if (bounded)
        FUZZ_CHECK(bounded->size() <= bound && whole && *whole == *bounded);
    else
        FUZZ_CHECK(!whole || whole->size() > bound);
    if (whole && !whole->empty()) roundTrip(*whole, (mode >> 1) % 11 - 1);
    return 0;
}
