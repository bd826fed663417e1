// Property lists as users meet them: the user-defaults file read at start and
// written on every change (XML), and an Info.plist in binary. Our reader and
// writer against libplist 2.2, the library they replaced, with the same
// conversion to and from Values that the application needs.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"

#include <cstdlib>
#include <memory>
#include <string>

#include <plist/plist.h>

#include "platform/storage/PropertyList.h"

using namespace wharf::platform;

namespace {

// A defaults domain of a few hundred entries of every kind.
Value sampleDomain() {
    Value domain = Value::object();
    for (int i = 0; i < 60; ++i) {
        const std::string n = std::to_string(i);
        domain["string." + n] = "https://example.com/app/page-" + n + "?lang=en&caf\xC3\xA9";
        domain["integer." + n] = int64_t{1} << (i % 62);
        domain["real." + n] = 0.1 * i;
        domain["flag." + n] = i % 3 == 0;
        domain["date." + n] = plist::dateValue(1.6e9 + 3600.0 * i);
        domain["list." + n] = Value::array({"a", i, Value{{"nested", "value " + n}}});
    }
    domain["blob"] = bytesValue(Bytes(2048, 0x5A));
    return domain;
}

struct PlistFree {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// The conversions the application did around libplist.
Value toValue(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
        Value out = Value::object();
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            if (!item) break;
            out[key] = toValue(item);
            std::free(key);
        }
        std::free(it);
        return out;
    }
    case PLIST_ARRAY: {
        Value out = Value::array();
        for (uint32_t i = 0; i < plist_array_get_size(node); ++i) out.push_back(toValue(plist_array_get_item(node, i)));
        return out;
    }
    case PLIST_STRING: {
        uint64_t length = 0;
        const char* s = plist_get_string_ptr(node, &length);
        return std::string(s, length);
    }
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        return static_cast<int64_t>(v);
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return d;
    }
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return b != 0;
    }
    case PLIST_DATA: {
        uint64_t length = 0;
        const auto* p = reinterpret_cast<const uint8_t*>(plist_get_data_ptr(node, &length));
        return bytesValue(Bytes(p, p + length));
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return plist::dateValue(sec + usec / 1e6 + 978307200.0);
    }
    default: return Value();
    }
}

plist_t fromValue(const Value& v) {
    if (plist::isDate(v)) {
        const double t = plist::dateSeconds(v) - 978307200.0;
        return plist_new_date(static_cast<int32_t>(t), static_cast<int32_t>((t - static_cast<int32_t>(t)) * 1e6));
    }
    switch (v.type()) {
    case Value::value_t::object: {
        plist_t dict = plist_new_dict();
        for (auto it = v.begin(); it != v.end(); ++it)
            plist_dict_set_item(dict, it.key().c_str(), fromValue(it.value()));
        return dict;
    }
    case Value::value_t::array: {
        plist_t array = plist_new_array();
        for (const auto& e : v) plist_array_append_item(array, fromValue(e));
        return array;
    }
    case Value::value_t::string: return plist_new_string(v.get_ref<const std::string&>().c_str());
    case Value::value_t::number_integer:
    case Value::value_t::number_unsigned: return plist_new_uint(v.get<uint64_t>());
    case Value::value_t::number_float: return plist_new_real(v.get<double>());
    case Value::value_t::boolean: return plist_new_bool(v.get<bool>());
    case Value::value_t::binary:
        return plist_new_data(reinterpret_cast<const char*>(bytesOf(v).data()), bytesOf(v).size());
    default: return plist_new_string("");
    }
}

const Value& domain() {
    static const Value d = sampleDomain();
    return d;
}

const Bytes& encoded(plist::Format format) {
    static const Bytes xml = *plist::serialize(domain(), plist::Format::XML);
    static const Bytes binary = *plist::serialize(domain(), plist::Format::Binary);
    return format == plist::Format::XML ? xml : binary;
}

void BM_Read_Ours(benchmark::State& state, plist::Format format) {
    const Bytes& data = encoded(format);
    for (auto _ : state) benchmark::DoNotOptimize(plist::parse(data));
}

void BM_Read_Libplist(benchmark::State& state, plist::Format format) {
    const Bytes& data = encoded(format);
    for (auto _ : state) {
        plist_t root = nullptr;
        plist_from_memory(reinterpret_cast<const char*>(data.data()), static_cast<uint32_t>(data.size()), &root);
        PlistPtr owner(root);
        benchmark::DoNotOptimize(toValue(root));
    }
}

void BM_Write_Ours(benchmark::State& state, plist::Format format) {
    for (auto _ : state) benchmark::DoNotOptimize(plist::serialize(domain(), format));
}

void BM_Write_Libplist(benchmark::State& state, plist::Format format) {
    for (auto _ : state) {
        PlistPtr root(fromValue(domain()));
        char* out = nullptr;
        uint32_t length = 0;
        if (format == plist::Format::XML) {
            plist_to_xml(root.get(), &out, &length);
            benchmark::DoNotOptimize(Bytes(out, out + length));
            plist_to_xml_free(out);
        } else {
            plist_to_bin(root.get(), &out, &length);
            benchmark::DoNotOptimize(Bytes(out, out + length));
            plist_to_bin_free(out);
        }
    }
}

// Each pair runs side by side, ours first and then the anchor.
BENCHMARK_CAPTURE(BM_Read_Ours, xml, plist::Format::XML);
BENCHMARK_CAPTURE(BM_Read_Libplist, xml, plist::Format::XML);
BENCHMARK_CAPTURE(BM_Write_Ours, xml, plist::Format::XML);
BENCHMARK_CAPTURE(BM_Write_Libplist, xml, plist::Format::XML);
BENCHMARK_CAPTURE(BM_Read_Ours, binary, plist::Format::Binary);
BENCHMARK_CAPTURE(BM_Read_Libplist, binary, plist::Format::Binary);
BENCHMARK_CAPTURE(BM_Write_Ours, binary, plist::Format::Binary);
BENCHMARK_CAPTURE(BM_Write_Libplist, binary, plist::Format::Binary);

}  // namespace

int main(int argc, char** argv) {
    return wharf::bench::runWithRatios(argc, argv,
                                       {{"read XML (defaults file)", "BM_Read_Ours/xml", "BM_Read_Libplist/xml"},
                                        {"write XML (defaults file)", "BM_Write_Ours/xml", "BM_Write_Libplist/xml"},
                                        {"read binary (Info.plist)", "BM_Read_Ours/binary", "BM_Read_Libplist/binary"},
                                        {"write binary", "BM_Write_Ours/binary", "BM_Write_Libplist/binary"}});
}
