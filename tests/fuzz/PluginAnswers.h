#pragma once
// The answers a plug-in sent to the page, read from the callback scripts the
// real command delegate evaluated in the fake engine: each script is parsed
// once, however often the target looks.
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "SentResults.h"
#include "host/testing/FakeWebViewEngine.h"
#include "platform/dispatch/RunLoop.h"

namespace wharf::fuzz {

class PluginAnswers {
public:
    explicit PluginAnswers(testing::FakeWebViewEngine& engine) : engine_(engine) {}

    std::vector<test::SentResult> to(const std::string& callbackId) {
        const auto scripts = engine_.evaluatedScripts();
        for (; seen_ < scripts.size(); ++seen_)
            for (auto& result : test::sentResults(std::vector<std::string>{scripts[seen_]}))
                results_.push_back(std::move(result));
        std::vector<test::SentResult> found;
        for (const auto& result : results_)
            if (result.callbackId == callbackId) found.push_back(result);
        return found;
    }

    // The one answer to a call: every call is answered, and only once.
    test::SentResult await(const std::string& callbackId) {
        FUZZ_CHECK(platform::RunLoop::pumpUntil([&] { return !to(callbackId).empty(); }, std::chrono::seconds(20)));
        const auto answers = to(callbackId);
        FUZZ_CHECK(answers.size() == 1);
        return answers[0];
    }

    // Forgets every answer (answers still on their way come in later).
    void clear() {
        engine_.clearScripts();
        seen_ = 0;
        results_.clear();
    }

private:
    testing::FakeWebViewEngine& engine_;
    std::size_t seen_ = 0;
    std::vector<test::SentResult> results_;
};

}  // namespace wharf::fuzz
