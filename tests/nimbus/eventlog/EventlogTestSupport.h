#pragma once
// Reading event files and upload requests back in the event logger's tests.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "nimbus/eventlog/EVLPBLogRequest.h"
#include "nimbus/toolbox/TBZLibAdditions.h"
#include "platform/base/Value.h"

namespace wharf::test {

// The records of an event file; nullopt unless the bytes are whole records.
inline std::optional<std::vector<platform::Bytes>> eventRecords(const platform::Bytes& bytes) {
    std::vector<platform::Bytes> records;
    size_t i = 0;
    while (i < bytes.size()) {
        uint64_t length = 0;
        int shift = 0;
        for (;;) {
            if (i >= bytes.size() || shift > 28) return std::nullopt;
            const uint8_t b = bytes[i++];
            length |= uint64_t(b & 0x7f) << shift;
            shift += 7;
            if (!(b & 0x80)) break;
        }
        if (bytes.size() - i < length) return std::nullopt;
        const auto start = bytes.begin() + static_cast<std::ptrdiff_t>(i);
        records.emplace_back(start, start + static_cast<std::ptrdiff_t>(length));
        i += length;
    }
    return records;
}

inline platform::Bytes fileBytes(const std::string& path) {
    std::string text = readFile(path);
    return platform::Bytes(text.begin(), text.end());
}

// The regular files under `directory`, recursively, sorted.
inline std::vector<std::string> filesUnder(const std::string& directory) {
    std::vector<std::string> files;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(directory, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file()) files.push_back(it->path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// The request a gzip body carries, and its one element of serialized events.
inline std::shared_ptr<EVLPBLogRequest> requestOf(const std::string& gzipBody) {
    auto plain = tb_dataByInflatingData(platform::Bytes(gzipBody.begin(), gzipBody.end()));
    return plain ? EVLPBLogRequest::initWithBuffer(*plain) : nullptr;
}
inline platform::Bytes serializedEvents(const EVLPBLogRequest& request) {
    auto list = NANOGetArray(&request, EVLPBLogRequest::serialized_log_events);
    if (!list || list->size() != 1) return {};
    return platform::bytesOf(std::get<platform::Value>((*list)[0]));
}

}  // namespace wharf::test
