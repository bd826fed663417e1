#pragma once
// The general pasteboard: the desktop's clipboard (GTK's CLIPBOARD selection)
// in the application, a stand-in in tests. Main thread only.
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace wharf::platform {

class Pasteboard {
public:
    virtual ~Pasteboard() = default;
    // The text on the pasteboard, if any; `done` runs later on the main thread.
    virtual void requestString(std::function<void(std::optional<std::string>)> done) = 0;
    // Replaces what the pasteboard holds with plain text.
    virtual void setString(const std::string& text) = 0;

    // The application's general pasteboard; null where none is set (no display).
    static Pasteboard* general() { return generalSlot(); }
    static void setGeneral(Pasteboard* pasteboard) { generalSlot() = pasteboard; }

private:
    static Pasteboard*& generalSlot() {
        static Pasteboard* slot = nullptr;
        return slot;
    }
};

// The desktop's clipboard; GTK must be initialised before it is used.
std::unique_ptr<Pasteboard> createGtkPasteboard();

}  // namespace wharf::platform
