// The file plug-in's reads: each form of a file's bytes the page may ask for
// (text, data URL, binary string, bytes), bounded before anything is read,
// and the byte answers held for the page to fetch over the "wffile" scheme,
// counted against the host's bound until the page has them.
#include "plugins/file/WFFile.h"

#include <algorithm>
#include <array>
#include <limits>
#include <mutex>
#include <random>
#include <utility>

#include "host/WFCommandDelegate.h"
#include "host/WFCommandQueue.h"
#include "host/WFStrings.h"
#include "host/WFViewControllerInterface.h"
#include "platform/base/Log.h"
#include "plugins/file/WFFilesystemURLProtocol.h"

namespace wharf {

namespace {

using platform::Value;

// Larger byte answers reach a bridge that asks for it by one fetch over the
// "wffile" scheme: as Base64 in the script text, they would cost the host and
// the web process several times their size. None outlive the page.
constexpr std::size_t kLargestInlineArrayBuffer = std::size_t{1} << 20;
// "wffile://localhost/?result=<token>": no filesystem is named by it.
constexpr const char* kHeldResultQuery = "result";

// Each byte as the character of that code (bytes above 127 as U+0080–U+00FF),
// so that the page's charCodeAt gives the bytes back.
std::string binaryString(const platform::Bytes& data) {
    std::string out;
    out.reserve(data.size());
    for (uint8_t b : data) {
        if (b < 0x80) {
            out += static_cast<char>(b);
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

// The length of the JSON string the bytes become in an answer: as UTF-8 text,
// or each byte a character (those over 0x7F two bytes in UTF-8).
uint64_t jsonTextSize(const platform::Bytes& data, bool eachByteACharacter) {
    static const auto table = [](bool latin1) {
        std::array<uint8_t, 256> sizes{};
        for (int b = 0; b < 256; ++b) {
            const bool shortEscape =
                b == '"' || b == '\\' || b == '\b' || b == '\f' || b == '\n' || b == '\r' || b == '\t';
            sizes[b] = shortEscape ? 2 : b < 0x20 ? 6 : (b >= 0x80 && latin1) ? 2 : 1;
        }
        return sizes;
    };
    static const std::array<uint8_t, 256> text = table(false), characters = table(true);
    const auto& sizes = eachByteACharacter ? characters : text;
    uint64_t size = 2;
    for (uint8_t b : data) size += sizes[b];
    return size;
}

uint64_t base64Size(std::size_t bytes) { return (static_cast<uint64_t>(bytes) + 2) / 3 * 4; }

// The answer for a read whose answer would be larger than the host can hold.
WFPluginResult tooLarge() { return WFFileErrorResult(NOT_READABLE_ERR); }

// The most bytes whose Base64 text fits in `room` characters.
uint64_t base64Fits(uint64_t room) { return room / 4 * 3; }

// Calls back with a read's answer, then lets the actions after it go.
WFFileReadCallback answerRead(
    std::function<void(WFPluginResult)> reply,
    std::function<WFPluginResult(platform::Bytes&&, const std::optional<std::string>&)> answer,
    std::function<void()> answered) {
    return [reply = std::move(reply), answer = std::move(answer), answered = std::move(answered)](
               std::optional<platform::Bytes> data, const std::optional<std::string>& mimeType, int32_t error) {
        if (!data) {
            reply(WFFileErrorResult(error));
        } else {
            // The page's form of the bytes (Base64, UTF-8) is larger still:
            // a range read whole may not fit twice.
            try {
                reply(answer(std::move(*data), mimeType));
            } catch (const std::bad_alloc&) {
                reply(WFFileErrorResult(NOT_READABLE_ERR));
            }
        }
        answered();
    };
}

// The bytes in the answer's text, as Base64 (read no more than fit in it):
// the binary wrapper, whose "data" holds the bytes themselves (written out as
// that same Base64), so that their text is made once, in the answer's text.
WFPluginResult base64Answer(platform::Bytes&& data, const std::optional<std::string>&) {
    Value wrapper = Value::object();
    wrapper["WFType"] = "ArrayBuffer";
    wrapper["data"] = platform::bytesValue(std::move(data));
    return WFPluginResult(static_cast<int>(WFResultStatus::OK), std::move(wrapper));
}

void logRefused(uint64_t most, const WFFilesystemURL& url) {
    platform::log("Refused to read more than %llu bytes of %s: more than the host can hold at once",
                  static_cast<unsigned long long>(most), url.absoluteURL().c_str());
}

}  // namespace

void WFFile::readWith(const WFInvokedUrlCommand& command, std::size_t startIndex, uint64_t most, ReadAnswer answer) {
    auto t = target(command, 0);
    if (!t) return;
    const int64_t start = platform::integerValue(command.argumentAtIndex(startIndex));
    const int64_t end = platform::integerValue(command.argumentAtIndex(startIndex + 1, -1));
    inOrderUntilAnswered([t = *t, start, end, most, reply = replier(command),
                          answer = std::move(answer)](const std::function<void()>& answered) {
        readBounded(t.fileSystem, t.url, start, end, most, answerRead(reply, answer, answered));
    });
}

void WFFile::readBounded(const std::shared_ptr<WFFileSystem>& fileSystem, const WFFilesystemURL& url, int64_t start,
                         int64_t end, uint64_t most, WFFileReadCallback callback) {
    // A file's size tells a range too long before anything is read.
    if (auto file = fileSystem->openFileAtURL(url); file && !file->error) {
        if (fileSystem->readLength(file->size, start, end) > most) {
            logRefused(most, url);
            return callback(std::nullopt, file->mimeType, NOT_READABLE_ERR);
        }
    }
    // Asked for one byte more than it may bring, the filesystem tells a range
    // that fits from one too long (a file grown meanwhile), and reads no further.
    const int64_t from = std::max<int64_t>(start, 0);
    const int64_t over = static_cast<uint64_t>(from) > std::numeric_limits<int64_t>::max() - most - 1
                             ? std::numeric_limits<int64_t>::max()
                             : from + static_cast<int64_t>(most) + 1;
    fileSystem->readFileAtURL(
        url, start, end < 0 || end > over ? over : end,
        [most, url, callback = std::move(callback)](std::optional<platform::Bytes> data,
                                                    std::optional<std::string> mimeType, int32_t error) {
            if (data && data->size() > most) {
                data.reset();
                logRefused(most, url);
                return callback(std::nullopt, std::move(mimeType), NOT_READABLE_ERR);
            }
            callback(std::move(data), std::move(mimeType), error);
        });
}

void WFFile::readAsText(const WFInvokedUrlCommand& command) {
    const Value encoding = command.argumentAtIndex(1);
    if (!target(command, 0)) return;
    // No encoding named means the page's default, UTF-8.
    if (!encoding.is_null() && (!encoding.is_string() || wf_lowercase(encoding.get<std::string>()) != "utf-8")) {
        platform::log("Only UTF-8 encodings are currently supported by readAsText");
        return send(WFFileErrorResult(ENCODING_ERR), command);
    }
    // Each byte is a character of the text at least.
    readWith(command, 2, WFLargestRead() - 2, [](platform::Bytes&& data, const std::optional<std::string>&) {
        std::string text;
        {
            const platform::Bytes bytes = std::move(data);
            if (!platform::isValidUTF8({reinterpret_cast<const char*>(bytes.data()), bytes.size()}))
                return WFFileErrorResult(ENCODING_ERR);
            if (jsonTextSize(bytes, false) > WFLargestRead()) return tooLarge();
            text.assign(bytes.begin(), bytes.end());
        }
        return WFPluginResult(static_cast<int>(WFResultStatus::OK), Value(std::move(text)));
    });
}

void WFFile::readAsDataURL(const WFInvokedUrlCommand& command) {
    readWith(command, 1, base64Fits(WFLargestRead() - 16),
             [](platform::Bytes&& data, const std::optional<std::string>& mimeType) {
                 const std::string type = mimeType.value_or("*/*");
                 if (base64Size(data.size()) + type.size() + 16 > WFLargestRead()) return tooLarge();
                 std::string url = "data:" + type + ";base64," + platform::base64Encode(data);
                 platform::Bytes().swap(data);
                 return WFPluginResult(static_cast<int>(WFResultStatus::OK), Value(std::move(url)));
             });
}

void WFFile::readAsArrayBuffer(const WFInvokedUrlCommand& command) {
    // The URL form only for a bridge that asked for it on this page: any
    // other knows only the bytes themselves.
    auto controller = viewController();
    auto queue = controller ? controller->commandQueue() : nullptr;
    if (queue && queue->bridgeAsked(WFCommandQueue::kArrayBufferURLFeature)) return readByURL(command);
    readWith(command, 1, base64Fits(WFLargestRead() - 32), base64Answer);
}

void WFFile::readByURL(const WFInvokedUrlCommand& command) {
    auto t = target(command, 0);
    if (!t) return;
    const int64_t start = platform::integerValue(command.argumentAtIndex(1));
    const int64_t end = platform::integerValue(command.argumentAtIndex(2, -1));
    std::weak_ptr<WFFile> weak = std::static_pointer_cast<WFFile>(shared_from_this());
    inOrderUntilAnswered([weak, t = *t, start, end, reply = replier(command)](const std::function<void()>& answered) {
        auto self = weak.lock();
        if (!self) return answered();
        auto byURL = [](std::string url) {
            Value reference = Value::object();
            reference["WFType"] = "ArrayBuffer";
            reference["url"] = std::move(url);
            return WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, reference);
        };
        const uint64_t limit = WFLargestRead();
        auto file = t.fileSystem->openFileAtURL(t.url);
        const uint64_t length = file && !file->error ? t.fileSystem->readLength(file->size, start, end) : 0;
        // Up to a mebibyte the bytes come in the answer all the same, as
        // they do from a filesystem whose files are not descriptors.
        if (length <= kLargestInlineArrayBuffer)
            return readBounded(t.fileSystem, t.url, start, end, base64Fits(limit - 32),
                               answerRead(reply, base64Answer, answered));
        if (length > limit) {
            logRefused(limit, t.url);
            reply(tooLarge());
            return answered();
        }
        const uint64_t from = start > 0 ? static_cast<uint64_t>(start) : 0;
        // The bytes are read now, and held until fetched, while they fit
        // beside the others held for the page: a change the page makes to
        // the file next does not reach them. Those that do not fit are left
        // in the file, none dropped, and sent from there should the file
        // still be the version it is now (else the fetch fails).
        if (!self->reserveHeld(length)) {
            HeldResult held;
            held.fileSystem = t.fileSystem;
            held.url = t.url;
            held.offset = from;
            held.length = length;
            held.version = file->version;
            reply(byURL(self->holdResult(std::move(held))));
            return answered();
        }
        t.fileSystem->readFileAtURL(
            t.url, static_cast<int64_t>(from), static_cast<int64_t>(from + length),
            [weak, length, reply, answered, byURL](std::optional<platform::Bytes> data,
                                                   const std::optional<std::string>&, int32_t error) {
                auto self = weak.lock();
                if (!self) return answered();
                if (!data || data->size() > length) {
                    self->releaseHeld(length);
                    reply(WFFileErrorResult(data ? NOT_READABLE_ERR : error));
                    return answered();
                }
                // A file cut short meanwhile gave fewer.
                self->releaseHeld(length - data->size());
                HeldResult held;
                held.bytes = std::move(*data);
                reply(byURL(self->holdResult(std::move(held))));
                answered();
            });
    });
}

bool WFFile::reserveHeld(uint64_t size) {
    std::lock_guard lock(mutex_);
    if (heldBytes_ + size > WFLargestRead()) return false;
    heldBytes_ += size;
    return true;
}

void WFFile::releaseHeld(uint64_t size) {
    std::lock_guard lock(mutex_);
    heldBytes_ -= size;
}

std::string WFFile::holdResult(HeldResult&& result) {
    // Unguessable: no other page comes by the bytes.
    std::random_device random;
    char token[33];
    std::snprintf(token, sizeof token, "%08x%08x%08x%08x", random(), random(), random(), random());
    result.token = token;
    std::lock_guard lock(mutex_);
    heldResults_.push_back(std::move(result));
    return std::string(kWFFilesystemURLPrefix) + "://localhost/?" + kHeldResultQuery + "=" + token;
}

std::optional<platform::SchemeResponse> WFFile::takeHeldResult(const platform::Url& url) {
    if (!url.hasQuery()) return std::nullopt;
    const std::string wanted = std::string(kHeldResultQuery) + "=";
    const std::string& query = url.query();
    if (query.compare(0, wanted.size(), wanted) != 0) return std::nullopt;
    const std::string token = query.substr(wanted.size());
    HeldResult held;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(heldResults_.begin(), heldResults_.end(),
                               [&](const HeldResult& result) { return result.token == token; });
        if (it == heldResults_.end()) return std::nullopt;
        held = std::move(*it);
        heldResults_.erase(it);
    }
    if (held.fileSystem) {
        auto file = held.fileSystem->openFileAtURL(held.url);
        if (!file || file->error || !(file->version == held.version)) {
            platform::log("The file of a readAsArrayBuffer answer changed before the page fetched it: %s",
                          held.url.absoluteURL().c_str());
            return std::nullopt;
        }
        auto response = WFFilesystemURLProtocol::responseFromFile(std::move(*file), held.offset, held.length);
        response.mimeType = "application/octet-stream";
        response.headers.erase("Content-Type");
        return response;
    }
    platform::SchemeResponse response;
    response.mimeType = "application/octet-stream";
    response.headers["Cache-Control"] = "no-cache";
    const uint64_t size = held.bytes.size();
    response.body = std::move(held.bytes);
    // Counted until the page has them.
    std::weak_ptr<WFFile> weak = std::static_pointer_cast<WFFile>(shared_from_this());
    response.bodyOwner = std::shared_ptr<void>(nullptr, [weak, size](void*) {
        if (auto self = weak.lock()) self->releaseHeld(size);
    });
    return response;
}

void WFFile::onReset() {
    std::lock_guard lock(mutex_);
    for (const HeldResult& held : heldResults_) heldBytes_ -= held.bytes.size();
    heldResults_.clear();
}

void WFFile::readAsBinaryString(const WFInvokedUrlCommand& command) {
    // Each byte is a character of the text at least.
    readWith(command, 1, WFLargestRead() - 2, [](platform::Bytes&& data, const std::optional<std::string>&) {
        if (jsonTextSize(data, true) > WFLargestRead()) return tooLarge();
        std::string text = binaryString(data);
        platform::Bytes().swap(data);
        return WFPluginResult(static_cast<int>(WFResultStatus::OK), Value(std::move(text)));
    });
}

}  // namespace wharf
