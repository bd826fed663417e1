#pragma once
// Where the toolbox logger's lines go: a file descriptor, several writers at
// once, or another logger (TBLogger is a writer too).
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/types.h>

namespace wharf {

// Levels of a line; 0 stands for no level.
enum TBLoggerLevel : int {
    TBLoggerLevelUnknown = 0,
    TBLoggerLevelDebug = 1,
    TBLoggerLevelInfo = 2,
    TBLoggerLevelError = 3,
    TBLoggerLevelAssert = 4,
};

class TBLogWriter {
public:
    virtual ~TBLogWriter() = default;
    virtual void logMessage(const std::string& message, int level) = 0;
};

// Writes each line and a line break to a file descriptor, whole lines only
// (one write at a time per writer), ignoring write failures.
class TBFileHandleLogWriter : public TBLogWriter {
public:
    // One shared writer each, so that every logger on the stream takes the same lock.
    static std::shared_ptr<TBFileHandleLogWriter> fileHandleWithStandardOutput();
    static std::shared_ptr<TBFileHandleLogWriter> fileHandleWithStandardError();
    // `path` opened for appending, created with `mode` when missing; nullptr
    // for an empty path or a failed open. Closed when the writer goes.
    static std::shared_ptr<TBFileHandleLogWriter> fileHandleForLoggingAtPath(const std::string& path, mode_t mode);

    TBFileHandleLogWriter(int fd, bool closeOnRelease) : fd_(fd), closeOnRelease_(closeOnRelease) {}
    ~TBFileHandleLogWriter() override;
    TBFileHandleLogWriter(const TBFileHandleLogWriter&) = delete;
    TBFileHandleLogWriter& operator=(const TBFileHandleLogWriter&) = delete;

    int fileDescriptor() const { return fd_; }
    void logMessage(const std::string& message, int level) override;

private:
    std::mutex mutex_;
    int fd_;
    bool closeOnRelease_;
};

// Hands each line to every writer it holds, in order; empty slots are skipped.
class TBArrayCompositeLogWriter : public TBLogWriter {
public:
    explicit TBArrayCompositeLogWriter(std::vector<std::shared_ptr<TBLogWriter>> writers)
        : writers_(std::move(writers)) {}
    void logMessage(const std::string& message, int level) override;

private:
    std::mutex mutex_;
    const std::vector<std::shared_ptr<TBLogWriter>> writers_;
};

}  // namespace wharf
