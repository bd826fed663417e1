#include "nimbus/toolbox/TBLogWriter.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace wharf {

std::shared_ptr<TBFileHandleLogWriter> TBFileHandleLogWriter::fileHandleWithStandardOutput() {
    static const auto writer = std::make_shared<TBFileHandleLogWriter>(STDOUT_FILENO, false);
    return writer;
}

std::shared_ptr<TBFileHandleLogWriter> TBFileHandleLogWriter::fileHandleWithStandardError() {
    static const auto writer = std::make_shared<TBFileHandleLogWriter>(STDERR_FILENO, false);
    return writer;
}

std::shared_ptr<TBFileHandleLogWriter> TBFileHandleLogWriter::fileHandleForLoggingAtPath(const std::string& path,
                                                                                         mode_t mode) {
    if (path.empty()) return nullptr;
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    return std::make_shared<TBFileHandleLogWriter>(fd, true);
}

TBFileHandleLogWriter::~TBFileHandleLogWriter() {
    if (closeOnRelease_) ::close(fd_);
}

void TBFileHandleLogWriter::logMessage(const std::string& message, int) {
    std::string line;
    line.reserve(message.size() + 1);
    line += message;
    line += '\n';
    std::lock_guard lock(mutex_);
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a full disk or a closed pipe loses the line, never the process
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void TBArrayCompositeLogWriter::logMessage(const std::string& message, int level) {
    std::lock_guard lock(mutex_);
    for (const auto& writer : writers_)
        if (writer) writer->logMessage(message, level);
}

}  // namespace wharf
