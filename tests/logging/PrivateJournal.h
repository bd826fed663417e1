#pragma once
// A journald of the test's own, so that the system-log tests run on machines
// where none runs, and never write into the machine's journal where one does.
//
// In the ordinary test process, enter() runs the current test again in a
// child process inside a private mount namespace (unshare(1), with a user
// namespace when not root). The child mounts tmpfs over /run and over the
// persistent journal directory, visible only inside that namespace, and starts
// systemd-journald there; the daemon dies with the child. The child's verdict
// becomes the test's verdict here.
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace wharf::test {

class PrivateJournal {
public:
    enum class Status {
        Ready,  // this process has a journal of its own: run the checks here
        Settled,  // the test ran in a child (or could not); its result is recorded
        Unavailable,  // no private journal can be made here; see reason()
    };

    PrivateJournal() = default;
    ~PrivateJournal();  // stops the daemon and tells the parent a skip
    PrivateJournal(const PrivateJournal&) = delete;
    PrivateJournal& operator=(const PrivateJournal&) = delete;

    // Called from the test fixture's SetUp.
    Status enter();
    const std::string& reason() const { return reason_; }

private:
    Status runInChild();
    Status startDaemon();
    Status unavailable(std::string why);
    void stopDaemon();

    std::string reason_;
    std::string resultPath_;  // set in the child only
    pid_t daemon_ = -1;
};

// The journal's entries whose MESSAGE is `text`, each as FIELD -> value.
using JournalEntry = std::map<std::string, std::string>;
std::vector<JournalEntry> journalEntries(const std::string& text);
// The same, once at least one such entry is there (empty after a few seconds without).
std::vector<JournalEntry> waitForJournalEntries(const std::string& text);

}  // namespace wharf::test
