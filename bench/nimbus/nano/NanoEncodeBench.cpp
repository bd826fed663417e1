// Encoding a LogEvent through the nano runtime against a direct pb_encode of
// the same nanopb struct filled by hand.
#include <cstring>
#include <string>

#include <pb_encode.h>

#include "BenchRatio.h"
#include "eventlog.pb.h"
#include "nimbus/eventlog/EVLPBLogEvent.h"

using namespace wharf;

namespace {

const std::string kText = "screen_view:home";
const platform::Bytes kPayload(200, 0x5a);
const uint32_t kCodes[] = {1, 2, 3};

bool writeText(pb_ostream_t* s, const pb_field_t* f, void* const*) {
    return pb_encode_tag_for_field(s, f) &&
           pb_encode_string(s, reinterpret_cast<const pb_byte_t*>(kText.data()), kText.size());
}
bool writePayload(pb_ostream_t* s, const pb_field_t* f, void* const*) {
    return pb_encode_tag_for_field(s, f) && pb_encode_string(s, kPayload.data(), kPayload.size());
}
bool writeCodes(pb_ostream_t* s, const pb_field_t* f, void* const*) {
    for (uint32_t c : kCodes)
        if (!pb_encode_tag_for_field(s, f) || !pb_encode_varint(s, c)) return false;
    return true;
}

void NanoRuntime(benchmark::State& state) {
    auto event = EVLPBLogEvent::create();
    NANOSetInt64(event.get(), EVLPBLogEvent::event_time_ms, 1700000000123);
    NANOSetInt64(event.get(), EVLPBLogEvent::event_uptime_ms, 123456);
    NANOSetString(event.get(), EVLPBLogEvent::field_2, kText);
    NANOSetBytes(event.get(), EVLPBLogEvent::source_payload, kPayload);
    NANOSetArray(event.get(), EVLPBLogEvent::test_code,
                 std::vector<NANOObject>{platform::Value(1), platform::Value(2), platform::Value(3)});
    for (auto _ : state) benchmark::DoNotOptimize(event->protoBuffer());
}

void DirectPbEncode(benchmark::State& state) {
    for (auto _ : state) {
        evlpb_LogEvent s;
        std::memset(&s, 0, sizeof s);
        s.has_event_time_ms = true;
        s.event_time_ms = 1700000000123;
        s.has_event_uptime_ms = true;
        s.event_uptime_ms = 123456;
        s.field_2.funcs.encode = writeText;
        s.source_payload.funcs.encode = writePayload;
        s.test_code.funcs.encode = writeCodes;
        size_t size = 0;
        pb_get_encoded_size(&size, evlpb_LogEvent_fields, &s);
        platform::Bytes out(size);
        pb_ostream_t stream = pb_ostream_from_buffer(out.data(), size);
        pb_encode(&stream, evlpb_LogEvent_fields, &s);
        benchmark::DoNotOptimize(out);
    }
}

}  // namespace

BENCHMARK(NanoRuntime);
BENCHMARK(DirectPbEncode);

int main(int argc, char** argv) {
    return bench::runWithRatios(argc, argv, {{"nano encode vs direct pb_encode", "NanoRuntime", "DirectPbEncode"}});
}
