#pragma once
// One log message: the text and the circumstances of the call (time, thread,
// queue), captured on the caller's thread. Immutable once made; copies share
// nothing mutable.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace wharf {

// Severity of one message: exactly one bit.
enum LGLogFlag : uint64_t {
    LGLogFlagError = 1,
    LGLogFlagWarning = 2,
    LGLogFlagInfo = 4,
    LGLogFlagDebug = 8,
    LGLogFlagVerbose = 16,
};

// Masks of flags that loggers are registered with.
inline constexpr uint64_t LGLogLevelInfo = 7;
inline constexpr uint64_t LGLogLevelDebug = 15;
inline constexpr uint64_t LGLogLevelVerbose = 31;
inline constexpr uint64_t LGLogLevelAll = ~uint64_t{0};

// An arbitrary caller-chosen tag; the console logger colours by it.
using LGLogTag = std::optional<std::string>;

class LGLogMessage {
public:
    // Option bits: the message keeps private copies of file / function.
    // (It always does; the bits are kept for those who read them.)
    static constexpr int64_t kCopyFile = 1;
    static constexpr int64_t kCopyFunction = 2;

    // `timestamp` in seconds since 1970; none means now. Null file/function
    // become "". The optionals come by reference: by value, a caller writes
    // an empty one a byte at a time and the call reads it back whole, which
    // the processor cannot forward from its stores, so every message waited
    // for the stores before it to reach the cache.
    LGLogMessage(std::string_view message, uint64_t level, uint64_t flag, int64_t context, const char* file,
                 const char* function, uint64_t line, const LGLogTag& tag = {}, int64_t options = 0,
                 const std::optional<double>& timestamp = {});
    // Takes the text over instead of copying it (a long text then is held
    // once). Reserving spaceAfterText() beyond the text spares a reallocation.
    LGLogMessage(std::in_place_t, std::string&& message, uint64_t level, uint64_t flag, int64_t context,
                 const char* file, const char* function, uint64_t line, const LGLogTag& tag = {}, int64_t options = 0,
                 const std::optional<double>& timestamp = {});
    static std::size_t spaceAfterText(const char* file, const char* function);

    std::string_view message() const { return piece(text_); }
    uint64_t level() const { return level_; }
    uint64_t flag() const { return flag_; }
    int64_t context() const { return context_; }
    std::string_view file() const { return piece(file_); }
    // Last path component of file without its last extension.
    std::string_view fileName() const { return piece(fileName_); }
    std::string_view function() const { return piece(function_); }
    uint64_t line() const { return line_; }
    const LGLogTag& tag() const { return tag_ ? *tag_ : noTag(); }
    int64_t options() const { return options_; }
    double timestamp() const { return timestamp_; }
    std::string_view threadID() const { return piece(threadID_); }
    // The thread's name when the message was made.
    std::optional<std::string_view> threadName() const {
        if (!hasThreadName_) return std::nullopt;
        return piece(threadName_);
    }
    std::string_view queueLabel() const { return piece(queueLabel_); }

    // Copies take only the part of the buffer in use.
    LGLogMessage(const LGLogMessage& other);
    LGLogMessage(LGLogMessage&& other) noexcept;
    LGLogMessage& operator=(const LGLogMessage& other);
    LGLogMessage& operator=(LGLogMessage&& other) noexcept;
    ~LGLogMessage() = default;

    // String fields up to this many bytes in all are kept inside the message.
    static constexpr std::size_t kInlineCapacity = 384;

private:
    struct Span {
        std::size_t offset = 0;
        std::size_t length = 0;
    };
    // The fields every constructor sets alike.
    LGLogMessage(uint64_t level, uint64_t flag, int64_t context, uint64_t line, const LGLogTag& tag, int64_t options);
    const char* base() const { return onHeap_ ? heap_.data() : inline_; }
    std::string_view piece(Span s) const { return {base() + s.offset, s.length}; }
    void capture(std::string_view message, const char* file, const char* function,
                 const std::optional<double>& timestamp);
    void copyFields(const LGLogMessage& other);
    static const LGLogTag& noTag();

    // The logging queue reads only these three of a message it hands on (the
    // flag to pick its loggers; the other two as it ends the message): they
    // come first, so a message made where another was ended moves as few
    // cache lines from the queue's core as can be.
    uint64_t flag_;
    std::unique_ptr<LGLogTag> tag_;  // none for no tag, nearly always
    // Every string field lives in one buffer: inside the message when they
    // fit (a message then costs no allocation of its own), else on the heap.
    std::string heap_;
    bool onHeap_ = false;
    bool hasThreadName_ = false;
    std::size_t used_ = 0;  // bytes of the buffer in use
    Span text_, file_, fileName_, function_, threadID_, threadName_, queueLabel_;
    uint64_t level_;
    int64_t context_;
    uint64_t line_;
    int64_t options_;
    double timestamp_;
    char inline_[kInlineCapacity];
};

}  // namespace wharf
