#include "logging/LGLogMessage.h"

#include <sys/prctl.h>
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
    char name[17] = {};
    std::size_t nameLength = 0;
    bool hasName = false;

    ThreadFacts() {
        int n = std::snprintf(id, sizeof id, "%llu", static_cast<unsigned long long>(::gettid()));
        idLength = n > 0 ? static_cast<std::size_t>(n) : 0;
        // Asking the kernel costs a system call per message; threads are named
        // when they start, so the name is read once per thread.
        hasName = ::prctl(PR_GET_NAME, name, 0, 0, 0) == 0;
        if (hasName) nameLength = ::strnlen(name, 16);
    }
};

const ThreadFacts& currentThread() {
    thread_local const ThreadFacts facts;
    return facts;
}

}  // namespace

LGLogMessage::Span LGLogMessage::append(std::string_view s) {
    Span span{storage_.size(), s.size()};
    storage_.append(s);
    return span;
}

LGLogMessage::LGLogMessage(std::string_view message, uint64_t level, uint64_t flag, int64_t context,
                           const char* file, const char* function, uint64_t line, LGLogTag tag, int64_t options,
                           std::optional<double> timestamp)
    : level_(level), flag_(flag), context_(context), line_(line), tag_(std::move(tag)), options_(options) {
    std::string_view fileText = file ? std::string_view(file) : std::string_view();
    std::string_view functionText = function ? std::string_view(function) : std::string_view();

    const ThreadFacts& thread = currentThread();
    hasThreadName_ = thread.hasName;

    std::string label = platform::dispatch::currentQueueLabel();

    storage_.reserve(message.size() + fileText.size() + functionText.size() + label.size() + 48);
    text_ = append(message);
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
