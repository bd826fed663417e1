#include "logging/LGLogMessage.h"

#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/dispatch/Dispatch.h"

namespace wharf {

namespace {

struct ThreadFacts {
    // The thread's id in decimal, followed by its name: one copy takes both.
    char text[24 + 16];
    std::size_t idLength = 0;
    // The kernel's name of the thread as last read, and whether there is one.
    char name[17] = {};
    std::size_t nameLength = 0;
    bool hasName = false;

    ThreadFacts() {
        int n = std::snprintf(text, 24, "%llu", static_cast<unsigned long long>(::gettid()));
        idLength = n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    uint64_t renamesSeen = 0;
    int64_t nextReadTick = 0;

    // Asking the kernel for the name is a system call, which costs more than
    // the rest of a message (a few hundred ns on a virtual machine). Renames
    // through the dispatch layer are counted and seen at once; one made by
    // other means (anyone holding the thread's handle) is seen at the next tick
    // of the coarse clock (a few milliseconds), read without a system call.
    void refreshName() {
        const uint64_t renames = platform::dispatch::threadRenames();
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        const int64_t tick = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
        if (renames == renamesSeen && tick < nextReadTick) return;
        renamesSeen = renames;
        nextReadTick = tick + 1;  // the coarse clock moves in whole ticks
        char current[17] = {};
        if (::prctl(PR_GET_NAME, current, 0, 0, 0) != 0) {
            hasName = false;
            return;
        }
        hasName = true;
        if (std::memcmp(current, name, sizeof current) == 0) return;
        std::memcpy(name, current, sizeof current);
        nameLength = ::strnlen(name, 16);
        std::memcpy(text + idLength, name, nameLength);
    }
};

ThreadFacts& currentThread() {
    thread_local ThreadFacts facts;
    facts.refreshName();
    return facts;
}

}  // namespace

LGLogMessage::LGLogMessage(uint64_t level, uint64_t flag, int64_t context, uint64_t line, const LGLogTag& tag,
                           int64_t options)
    : flag_(flag),
      tag_(tag ? std::make_unique<LGLogTag>(tag) : nullptr),
      level_(level),
      context_(context),
      line_(line),
      options_(options) {}

LGLogMessage::LGLogMessage(std::string_view message, uint64_t level, uint64_t flag, int64_t context, const char* file,
                           const char* function, uint64_t line, const LGLogTag& tag, int64_t options,
                           const std::optional<double>& timestamp)
    : LGLogMessage(level, flag, context, line, tag, options) {
    capture(message, file, function, timestamp);
}

LGLogMessage::LGLogMessage(std::in_place_t, std::string&& message, uint64_t level, uint64_t flag, int64_t context,
                           const char* file, const char* function, uint64_t line, const LGLogTag& tag, int64_t options,
                           const std::optional<double>& timestamp)
    : LGLogMessage(level, flag, context, line, tag, options) {
    if (message.size() + spaceAfterText(file, function) > kInlineCapacity) {
        // The text stays where the caller formatted it; the other fields follow it.
        heap_ = std::move(message);
        onHeap_ = true;
        used_ = heap_.size();
        text_ = Span{0, used_};
        capture({}, file, function, timestamp);
    } else {
        capture(message, file, function, timestamp);
    }
}

void LGLogMessage::copyFields(const LGLogMessage& other) {
    used_ = other.used_;
    onHeap_ = other.onHeap_;
    if (!onHeap_) std::memcpy(inline_, other.inline_, used_);
    text_ = other.text_;
    file_ = other.file_;
    fileName_ = other.fileName_;
    function_ = other.function_;
    threadID_ = other.threadID_;
    threadName_ = other.threadName_;
    queueLabel_ = other.queueLabel_;
    level_ = other.level_;
    flag_ = other.flag_;
    context_ = other.context_;
    line_ = other.line_;
    options_ = other.options_;
    timestamp_ = other.timestamp_;
    hasThreadName_ = other.hasThreadName_;
}

namespace {

std::unique_ptr<LGLogTag> copyOf(const std::unique_ptr<LGLogTag>& tag) {
    return tag ? std::make_unique<LGLogTag>(*tag) : nullptr;
}

}  // namespace

const LGLogTag& LGLogMessage::noTag() {
    static const LGLogTag none;
    return none;
}

LGLogMessage::LGLogMessage(const LGLogMessage& other) : tag_(copyOf(other.tag_)), heap_(other.heap_) {
    copyFields(other);
}

LGLogMessage::LGLogMessage(LGLogMessage&& other) noexcept : tag_(std::move(other.tag_)), heap_(std::move(other.heap_)) {
    copyFields(other);
}

LGLogMessage& LGLogMessage::operator=(const LGLogMessage& other) {
    if (this == &other) return *this;
    heap_ = other.heap_;
    tag_ = copyOf(other.tag_);
    copyFields(other);
    return *this;
}

LGLogMessage& LGLogMessage::operator=(LGLogMessage&& other) noexcept {
    if (this == &other) return *this;
    heap_ = std::move(other.heap_);
    tag_ = std::move(other.tag_);
    copyFields(other);
    return *this;
}

std::size_t LGLogMessage::spaceAfterText(const char* file, const char* function) {
    return (file ? std::strlen(file) : 0) + (function ? std::strlen(function) : 0) + 128;
}

void LGLogMessage::capture(std::string_view message, const char* file, const char* function,
                           const std::optional<double>& timestamp) {
    std::string_view fileText = file ? std::string_view(file) : std::string_view();
    std::string_view functionText = function ? std::string_view(function) : std::string_view();

    const ThreadFacts& thread = currentThread();
    hasThreadName_ = thread.hasName;

    const platform::dispatch::QueuePtr queue = platform::dispatch::currentQueue();
    const std::string_view label = queue ? std::string_view(queue->label()) : std::string_view();

    const std::size_t threadLength = thread.idLength + (hasThreadName_ ? thread.nameLength : 0);
    const std::size_t total =
        used_ + message.size() + fileText.size() + functionText.size() + threadLength + label.size();
    char* out;
    if (!onHeap_ && total <= kInlineCapacity) {
        out = inline_;
    } else {
        if (!onHeap_) heap_.assign(inline_, used_);
        onHeap_ = true;
        heap_.resize(total);
        out = heap_.data();
    }
    // One copy per piece, straight into the buffer.
    auto put = [&](std::string_view piece) {
        Span span{used_, piece.size()};
        if (!piece.empty()) std::memcpy(out + used_, piece.data(), piece.size());
        used_ += piece.size();
        return span;
    };
    if (!message.empty()) text_ = put(message);
    file_ = put(fileText);
    function_ = put(functionText);
    // The thread's id and name lie side by side in its facts.
    const Span threadSpan = put(std::string_view(thread.text, threadLength));
    threadID_ = Span{threadSpan.offset, thread.idLength};
    if (hasThreadName_) threadName_ = Span{threadSpan.offset + thread.idLength, thread.nameLength};
    queueLabel_ = put(label);

    const void* slash = fileText.empty() ? nullptr : ::memrchr(fileText.data(), '/', fileText.size());
    const std::size_t start =
        slash ? static_cast<std::size_t>(static_cast<const char*>(slash) - fileText.data()) + 1 : 0;
    const std::size_t lastLength = fileText.size() - start;
    const void* dot = lastLength ? ::memrchr(fileText.data() + start, '.', lastLength) : nullptr;
    fileName_ =
        Span{file_.offset + start,
             dot ? static_cast<std::size_t>(static_cast<const char*>(dot) - (fileText.data() + start)) : lastLength};

    if (timestamp) {
        timestamp_ = *timestamp;
    } else {
        auto now = std::chrono::system_clock::now().time_since_epoch();
        timestamp_ = std::chrono::duration<double>(now).count();
    }
}

}  // namespace wharf
