#include "platform/storage/PropertyList.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/base/Error.h"
#include "platform/base/Log.h"
#include "platform/storage/PropertyListFormats.h"

namespace wharf::platform::plist {

namespace detail {

Error readError(const std::string& why) {
    return Error::withDescription(kErrorDomain, kCorrupt, "The property list could not be read: " + why + ".");
}

Error writeError(const std::string& why) {
    return Error::withDescription(kErrorDomain, kInvalidForFormat, "Property list invalid for format: " + why + ".");
}

}  // namespace detail

namespace {

using detail::kCorrupt;

constexpr int64_t kNoSuchFile = 260;
constexpr int64_t kReadUnknown = 256;
constexpr int64_t kWriteUnknown = 512;

// Files larger than this are not property lists anyone means to load.
constexpr std::size_t kMaxFileSize = 256u * 1024 * 1024;

constexpr const char* kDateKey = "$date";
constexpr const char* kDateSince2001Key = "$date2001";

Error makeError(int64_t code, const std::string& description) {
    return Error::withDescription(kErrorDomain, code, description);
}

bool writeAll(int fd, const uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::optional<Value> parse(const Bytes& data, Error* error) {
    if (data.empty()) {
        setError(error, makeError(kCorrupt, "The property list is empty."));
        return std::nullopt;
    }
    if (data.size() >= 6 && std::memcmp(data.data(), "bplist", 6) == 0) return detail::parseBinary(data, error);
    return detail::parseXML(data, error);
}

std::optional<Value> readFile(const std::string& path, Error* error) {
    // Non-blocking: a FIFO at the path must not hang the reader until someone writes to it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int e = errno;
        setError(error, makeError(e == ENOENT ? kNoSuchFile : kReadUnknown,
                                  "The file “" + path + "” couldn’t be opened: " + errnoText(e) + "."));
        return std::nullopt;
    }
    Bytes data;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        setError(error, makeError(kReadUnknown, "The file “" + path + "” is not a regular file."));
        return std::nullopt;
    }
    if (static_cast<std::size_t>(st.st_size) <= kMaxFileSize) data.reserve(static_cast<std::size_t>(st.st_size));
    uint8_t buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            setError(error, makeError(kReadUnknown, "The file “" + path + "” couldn’t be read: " + errnoText(e) + "."));
            return std::nullopt;
        }
        if (n == 0) break;
        if (data.size() + static_cast<std::size_t>(n) > kMaxFileSize) {
            ::close(fd);
            setError(error, makeError(kReadUnknown, "The file “" + path + "” is too large."));
            return std::nullopt;
        }
        data.insert(data.end(), buf, buf + n);
    }
    ::close(fd);
    return parse(data, error);
}

std::optional<Bytes> serialize(const Value& value, Format format, Error* error) {
    return format == Format::Binary ? detail::writeBinary(value, error) : detail::writeXML(value, error);
}

bool writeFile(const std::string& path, const Value& value, Format format, Error* error) {
    auto bytes = serialize(value, format, error);
    if (!bytes) return false;
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmp = dir + "/." + base + ".XXXXXX";
    auto fail = [&](const std::string& what, int e) {
        setError(error, makeError(kWriteUnknown,
                                  "The file “" + path + "” couldn’t be saved: " + what + ": " + errnoText(e) + "."));
        return false;
    };
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return fail("cannot create a temporary file", errno);
    // Keep the permissions of the file being replaced; new files are private.
    struct stat st {};
    ::fchmod(fd, ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0600);
    if (!writeAll(fd, bytes->data(), bytes->size()) || ::fsync(fd) != 0) {
        const int e = errno;
        ::close(fd);
        ::unlink(tmp.c_str());
        return fail("cannot write", e);
    }
    if (::close(fd) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        return fail("cannot write", e);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        return fail("cannot replace the file", e);
    }
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        // The file is replaced already; only its survival of a crash is in doubt.
        if (::fsync(dfd) != 0) log("cannot sync the directory of %s: %s", path.c_str(), errnoText(errno).c_str());
        ::close(dfd);
    }
    return true;
}

Value dateValue(double secondsSince1970) { return Value{{kDateKey, secondsSince1970}}; }

bool isDate(const Value& v) {
    if (!v.is_object() || v.empty() || v.size() > 2) return false;
    const auto it = v.find(kDateKey);
    if (it == v.end() || !it->is_number()) return false;
    if (v.size() == 1) return true;
    const auto exact = v.find(kDateSince2001Key);
    return exact != v.end() && exact->is_number();
}

namespace detail {

// Seconds counted from 2001 carry finer bits than the same time counted from
// 1970 can hold (about half of today's full-precision times lose their last
// one); the exact count rides along so that writing the date back to the
// binary format gives the very bytes that were read.
Value dateValueSince2001(double sinceReference) {
    const double since1970 = sinceReference + kReferenceDateOffset;
    Value date = dateValue(since1970);
    if (std::isfinite(sinceReference) && since1970 - kReferenceDateOffset != sinceReference)
        date[kDateSince2001Key] = sinceReference;
    return date;
}

double dateSecondsSince2001(const Value& v) {
    const double since1970 = dateSeconds(v);
    if (isDate(v)) {
        // Only while it still names the same time: a changed "$date" wins.
        const auto exact = v.find(kDateSince2001Key);
        if (exact != v.end() && exact->get<double>() + kReferenceDateOffset == since1970) return exact->get<double>();
    }
    return since1970 - kReferenceDateOffset;
}

}  // namespace detail

double dateSeconds(const Value& v) { return isDate(v) ? v.find(kDateKey)->get<double>() : 0.0; }

}  // namespace wharf::platform::plist
