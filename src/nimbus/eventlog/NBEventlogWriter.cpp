#include "nimbus/eventlog/NBEventlogWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <pb_decode.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "nimbus/core/NBLogger.h"
#include "nimbus/eventlog/EVLPBLogEvent.h"
#include "platform/base/Error.h"
#include "platform/storage/Container.h"

namespace wharf {

namespace {

// How far a name may move past a taken millisecond before giving up.
constexpr int kNameAttempts = 1000;

// "<directory>/<milliseconds>" with the milliseconds moved on by `step`; the
// path unchanged when its last part is not a number.
std::string nextName(const std::string& path, int step) {
    const size_t slash = path.rfind('/');
    const std::string last = path.substr(slash + 1);
    if (last.empty() || last.find_first_not_of("0123456789") != std::string::npos) return path;
    const long long ms = std::strtoll(last.c_str(), nullptr, 10) + step;
    return path.substr(0, slash + 1) + std::to_string(ms);
}

}  // namespace

NBEventlogWriter::NBEventlogWriter(std::string path) : path_(std::move(path)) {
    const std::string directory = path_.substr(0, path_.rfind('/'));
    if (!platform::Container::ensureDirectory(directory))
        NBLogError(kNBLoggerCore, "I-COR000015", "Failed to create directory: %s", platform::errnoText(errno).c_str());
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string candidate = nextName(path_, attempt);
        fd_ = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            path_ = candidate;
            return;
        }
        if (errno != EEXIST || nextName(path_, 1) == path_) break;
    }
    NBLogError(kNBLoggerCore, "I-COR000016", "Failed to create %s, error (%d)", path_.c_str(), errno);
}

NBEventlogWriter::~NBEventlogWriter() { close(); }

void NBEventlogWriter::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool NBEventlogWriter::fileIsGone() const {
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 && st.st_nlink == 0;
}

void NBEventlogWriter::appendVarint(platform::Bytes& out, uint64_t length) {
    uint32_t value = static_cast<uint32_t>(length);
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

std::size_t NBEventlogWriter::wholeRecordsLength(const platform::Bytes& contents) {
    pb_istream_t stream = pb_istream_from_buffer(contents.data(), contents.size());
    std::size_t whole = 0;
    uint32_t length = 0;
    while (stream.bytes_left > 0 && pb_decode_varint32(&stream, &length) && length <= stream.bytes_left &&
           pb_read(&stream, nullptr, length))
        whole = contents.size() - stream.bytes_left;
    return whole;
}

bool NBEventlogWriter::writeLogEvent(const EVLPBLogEvent& event) {
    if (fd_ < 0) return false;
    // An event that cannot be encoded is kept as a record of length 0.
    return writeRecord(event.protoBuffer().value_or(platform::Bytes{}));
}

bool NBEventlogWriter::writeRecord(const platform::Bytes& encoded) {
    if (fd_ < 0) return false;
    platform::Bytes prefix;
    prefix.reserve(5);
    appendVarint(prefix, encoded.size());
    iovec parts[2] = {{prefix.data(), prefix.size()}, {const_cast<uint8_t*>(encoded.data()), encoded.size()}};
    const size_t total = prefix.size() + encoded.size();
    size_t written = 0;
    while (written < total) {
        // The parts not yet written, from where the last write stopped.
        iovec left[2];
        int count = 0;
        size_t skip = written;
        for (const iovec& part : parts) {
            if (skip >= part.iov_len) {
                skip -= part.iov_len;
                continue;
            }
            left[count++] = {static_cast<uint8_t*>(part.iov_base) + skip, part.iov_len - skip};
            skip = 0;
        }
        ssize_t n = ::writev(fd_, left, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            if (numBytes_ == 0) {
                // A file with no whole record in it would stay empty for good
                // (only a send deletes files): it goes with its writer.
                ::unlink(path_.c_str());
                close();
            } else if (written > 0 && ::ftruncate(fd_, static_cast<off_t>(numBytes_)) != 0) {
                // Half a record would corrupt every later one: cut back to
                // the last whole record.
                close();
            }
            errno = error;
            return false;
        }
        written += static_cast<size_t>(n);
    }
    numBytes_ += total;
    return true;
}

}  // namespace wharf
