#include "logging/LGLogMessage.h"

#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/Dispatch.h"

namespace wharf {

namespace {

struct ThreadFacts {
    char id[24];
    std::size_t idLength = 0;
    // The kernel's name of the thread as last read, and whether there is one.
    char name[17] = {};
    std::size_t nameLength = 0;
    bool hasName = false;

    ThreadFacts() {
        int n = std::snprintf(id, sizeof id, "%llu", static_cast<unsigned long long>(::gettid()));
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
    }
};

ThreadFacts& currentThread() {
    thread_local ThreadFacts facts;
    facts.refreshName();
    return facts;
}

}  // namespace

LGLogMessage::Span LGLogMessage::append(std::string_view s) {
    Span span{storage_.size(), s.size()};
    storage_.append(s);
    return span;
}

LGLogMessage::LGLogMessage(std::string_view message, uint64_t level, uint64_t flag, int64_t context, const char* file,
                           const char* function, uint64_t line, LGLogTag tag, int64_t options,
                           std::optional<double> timestamp)
    : level_(level), flag_(flag), context_(context), line_(line), tag_(std::move(tag)), options_(options) {
    capture(message, file, function, timestamp);
}

LGLogMessage::LGLogMessage(std::in_place_t, std::string&& message, uint64_t level, uint64_t flag, int64_t context,
                           const char* file, const char* function, uint64_t line, LGLogTag tag, int64_t options,
                           std::optional<double> timestamp)
    : storage_(std::move(message)),
      level_(level),
      flag_(flag),
      context_(context),
      line_(line),
      tag_(std::move(tag)),
      options_(options) {
    // The text stays where the caller formatted it; the other fields follow it.
    text_ = Span{0, storage_.size()};
    capture({}, file, function, timestamp);
}

std::size_t LGLogMessage::spaceAfterText(const char* file, const char* function) {
    return (file ? std::strlen(file) : 0) + (function ? std::strlen(function) : 0) + 128;
}

void LGLogMessage::capture(std::string_view message, const char* file, const char* function,
                           std::optional<double> timestamp) {
    std::string_view fileText = file ? std::string_view(file) : std::string_view();
    std::string_view functionText = function ? std::string_view(function) : std::string_view();

    const ThreadFacts& thread = currentThread();
    hasThreadName_ = thread.hasName;

    std::string label = platform::dispatch::currentQueueLabel();

    storage_.reserve(storage_.size() + message.size() + fileText.size() + functionText.size() + label.size() + 48);
    if (!message.empty()) text_ = append(message);
    file_ = append(fileText);
    function_ = append(functionText);
    threadID_ = append(std::string_view(thread.id, thread.idLength));
    if (hasThreadName_) threadName_ = append(std::string_view(thread.name, thread.nameLength));
    queueLabel_ = append(label);

    std::size_t slash = fileText.rfind('/');
    std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    std::string_view last = fileText.substr(start);
    std::size_t dot = last.rfind('.');
    fileName_ = Span{file_.offset + start, dot == std::string_view::npos ? last.size() : dot};

    if (timestamp) {
        timestamp_ = *timestamp;
    } else {
        auto now = std::chrono::system_clock::now().time_since_epoch();
        timestamp_ = std::chrono::duration<double>(now).count();
    }
}

}  // namespace wharf
