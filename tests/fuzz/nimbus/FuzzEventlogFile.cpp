// Event files as the uploader reads them back: a sequence of records, each
// the varint length of an encoded event and its bytes, found by walking the
// log directory and turned into one upload request each.
//
// The first byte picks the input's form:
// - even: the rest is a file's contents, put where the logger keeps its files;
// - odd: the rest is events (a count, then each a length byte and the
//   event's encoding) that the real logger writes under an account and a log
//   source taken from the input, with files rotated at a size taken from the
//   input; then the newest file is cut short or given trailing bytes, as a
//   process that ended mid-append or a damaged disk would leave it.
//
// The uploader must find every file under its account and log source, send
// exactly the leading whole records of each (checked against a record walk of
// this target's own), nothing from a file without a whole record, and the
// events the writer wrote must come back byte for byte and in order, up to
// where the damage begins.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "nimbus/eventlog/EVLPBLogEvent.h"
#include "nimbus/eventlog/EVLPBLogRequest.h"
#include "nimbus/eventlog/NBEventlogLogger.h"

using namespace wharf;
using platform::Bytes;

namespace {

// How many leading bytes are whole records. A length that cannot be read
// (more than ten bytes, or bits a 32-bit length cannot hold) or that runs past
// the end ends the walk, as does the end itself.
std::size_t wholeRecordsByWalk(const Bytes& contents, std::vector<Bytes>* records) {
    std::size_t at = 0;
    for (;;) {
        std::size_t pos = at;
        uint64_t length = 0;
        bool readable = false;
        for (int shift = 0; shift < 70 && pos < contents.size(); shift += 7) {
            const uint8_t byte = contents[pos++];
            const uint64_t bits = byte & 0x7F;
            // Bits at or above 2^31: no file here is that long.
            if (bits != 0 && (shift >= 31 || (bits << shift) >= (uint64_t{1} << 31))) break;
            length |= bits << shift;
            if (!(byte & 0x80)) {
                readable = true;
                break;
            }
        }
        if (!readable || length > contents.size() - pos) return at;
        if (records) records->emplace_back(contents.data() + pos, contents.data() + pos + length);
        at = pos + length;
        if (at == contents.size()) return at;
    }
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string_view bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(out.good());
}

// The records the uploader sends for a file, or nullopt when it sends nothing.
std::optional<Bytes> sentRecords(NBEventlogLogger& logger, const NBEventlogRequest& request) {
    std::shared_ptr<EVLPBLogRequest> logRequest;
    logger.queue()->sync([&] { logRequest = logger.logRequestFromPath(request.path, request.logSource); });
    if (!logRequest) return std::nullopt;
    // What goes on the wire, read back.
    const auto encoded = logRequest->protoBuffer();
    FUZZ_CHECK(encoded);
    const auto decoded = EVLPBLogRequest::initWithBuffer(*encoded);
    FUZZ_CHECK(decoded);
    FUZZ_CHECK(NANOGetInt32(decoded.get(), EVLPBLogRequest::log_source) == request.logSource);
    const auto events = NANOGetArray(decoded.get(), EVLPBLogRequest::serialized_log_events);
    FUZZ_CHECK(events && events->size() == 1);
    const auto* value = std::get_if<platform::Value>(&events->front());
    FUZZ_CHECK(value && platform::isBytes(*value));
    return platform::bytesOf(*value);
}

// Every file the uploader lists, in name order, with what it sends of it;
// each must be sent as exactly its leading whole records.
struct Listed {
    NBEventlogRequest request;
    Bytes contents;
    std::optional<Bytes> sent;
};

std::vector<Listed> listAndRead(NBEventlogLogger& logger) {
    std::vector<NBEventlogRequest> requests;
    logger.queue()->sync([&] {
        logger.flushWriters();
        logger.updatePendingRequests();
        while (auto request = logger.nextPendingRequest()) requests.push_back(std::move(*request));
    });
    std::vector<Listed> listed;
    for (const auto& request : requests) {
        Listed item{request, readFile(request.path), std::nullopt};
        item.sent = sentRecords(logger, request);
        const std::size_t whole = wholeRecordsByWalk(item.contents, nullptr);
        if (whole == 0) {
            FUZZ_CHECK(!item.sent);
        } else {
            FUZZ_CHECK(item.sent && *item.sent == Bytes(item.contents.begin(), item.contents.begin() + whole));
        }
        listed.push_back(std::move(item));
    }
    std::sort(listed.begin(), listed.end(),
              [](const Listed& a, const Listed& b) { return a.request.path < b.request.path; });
    return listed;
}

// One logger for the whole run: its queue and thread stay, as in the
// application (a logger per input would leave threads ending after it).
NBEventlogLogger& logger() {
    static const auto shared = NBEventlogLogger::create(fuzz::scratchDir() + "/NBEventlogLogger", nullptr);
    return *shared;
}

// The accounts files are written for: the usual kind, and names that must
// neither leave the layout nor come back as another account.
const std::string kAccounts[] = {"fuzz@example.com", "", "a/..", ".", ".hidden", "%2F%zz", std::string("\0\xff/", 3)};

// An account's directory name stays one plain name and gives the account back.
void checkAccountName(const std::string& account) {
    const std::string name = NBEventlogLogger::escapedAccount(account);
    FUZZ_CHECK(name.empty() == account.empty());
    FUZZ_CHECK(name.find('/') == std::string::npos && name.find('\0') == std::string::npos);
    FUZZ_CHECK(name.empty() || name.front() != '.');
    FUZZ_CHECK(NBEventlogLogger::unescapedAccount(name) == account);
}

void rawFile(std::string_view contents) {
    checkAccountName(std::string(contents.substr(0, 64)));
    const std::string& account = kAccounts[0];
    // Named for now, as the logger names its files: without a server it
    // deletes files past an age, which one named for 2023 would be.
    const std::string path = logger().logDirectory() + "/" + NBEventlogLogger::escapedAccount(account) + "/7/" +
                             std::to_string(NBEventlogLogger::currentTimeMillis());
    writeFile(path, contents);
    const auto listed = listAndRead(logger());
    FUZZ_CHECK(listed.size() == 1);
    FUZZ_CHECK(listed[0].request == (NBEventlogRequest{7, account, path}));
}

void writtenEvents(fuzz::Choices& choices) {
    const std::string& account = kAccounts[choices.byte() % std::size(kAccounts)];
    const int logSource = static_cast<int>(choices.byte()) - 128;  // negative ones too
    const uint8_t rotateAt = choices.byte();
    const uint8_t damage = choices.byte();
    const uint16_t cut = static_cast<uint16_t>(choices.byte() << 8 | choices.byte());
    const int count = choices.byte() % 17;

    // Events, each from a length byte and as many bytes; one that does not
    // decode stands for an event of no fields. The times are stamped here, so
    // that the logger keeps the event as it is.
    std::vector<Bytes> written;
    NBEventlogLogger& logger = ::logger();
    logger.setMaxRequestNumBytes(rotateAt);
    for (int n = 0; n < count; ++n) {
        const std::size_t length = std::min<std::size_t>(choices.byte(), choices.rest().size());
        const std::string_view chunk = choices.rest().substr(0, length);
        for (std::size_t i = 0; i < length; ++i) choices.byte();
        auto event = EVLPBLogEvent::initWithBuffer(Bytes(chunk.begin(), chunk.end()));
        if (!event) event = EVLPBLogEvent::create();
        if (!NANOHasField(event.get(), EVLPBLogEvent::event_time_ms))
            NANOSetInt64(event.get(), EVLPBLogEvent::event_time_ms, 1700000000000 + n);
        if (!NANOHasField(event.get(), EVLPBLogEvent::event_uptime_ms))
            NANOSetInt64(event.get(), EVLPBLogEvent::event_uptime_ms, n);
        written.push_back(event->protoBuffer().value_or(Bytes{}));
        logger.logEvent(event, logSource, account);
    }
    logger.waitUntilIdle();

    // An empty account is refused: nothing is written for it.
    if (account.empty()) {
        FUZZ_CHECK(listAndRead(logger).empty());
        return;
    }
    logger.queue()->sync([&] { logger.flushWriters(); });
    std::vector<std::string> files;
    const std::string sourceDirectory =
        logger.logDirectory() + "/" + NBEventlogLogger::escapedAccount(account) + "/" + std::to_string(logSource);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(sourceDirectory, ec)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    FUZZ_CHECK(!files.empty() || written.empty());

    std::size_t damagedFrom = SIZE_MAX;  // bytes of the newest file left intact
    if (!files.empty() && damage % 3 != 0) {
        Bytes newest = readFile(files.back());
        if (damage % 3 == 1) {
            newest.resize(std::min<std::size_t>(newest.size(), cut));
        } else {
            const std::string_view trailing = choices.rest();
            damagedFrom = newest.size();
            newest.insert(newest.end(), trailing.begin(), trailing.end());
        }
        if (damagedFrom == SIZE_MAX) damagedFrom = newest.size();
        writeFile(files.back(), std::string_view(reinterpret_cast<const char*>(newest.data()), newest.size()));
    }

    const auto listed = listAndRead(logger);
    FUZZ_CHECK(listed.size() == files.size());
    std::vector<Bytes> sent;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        FUZZ_CHECK(listed[i].request == (NBEventlogRequest{logSource, account, files[i]}));
        if (!listed[i].sent) continue;
        std::vector<Bytes> records;
        FUZZ_CHECK(wholeRecordsByWalk(*listed[i].sent, &records) == listed[i].sent->size());
        // What follows intact records in the damaged file is not the writer's.
        std::size_t end = 0;
        for (const auto& record : records) {
            end += record.size() + 1 + (record.size() >= 0x80) + (record.size() >= 0x4000);
            if (i + 1 == listed.size() && end > damagedFrom) break;
            sent.push_back(record);
        }
    }
    // The writer's events, in order, every one that the damage left whole.
    FUZZ_CHECK(sent.size() <= written.size());
    if (damage % 3 == 0) FUZZ_CHECK(sent.size() == written.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        FUZZ_CHECK(sent[i] == written[i]);
        auto event = EVLPBLogEvent::initWithBuffer(sent[i]);
        FUZZ_CHECK(event && event->protoBuffer() == written[i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::clearScratch();
    fuzz::Choices choices(data, size);
    if (choices.byte() % 2 == 0)
        rawFile(choices.rest());
    else
        writtenEvents(choices);
    return 0;
}
