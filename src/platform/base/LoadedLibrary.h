#pragma once
// A shared library the platform loads when it is first needed instead of at
// every launch (dlopen, never closed: it then stays for the process, as a
// linked one would).
#include <dlfcn.h>

#include <string>
#include <type_traits>

namespace wharf::platform {

class LoadedLibrary {
public:
    explicit LoadedLibrary(const char* soname) : soname_(soname) {
        handle_ = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
        if (handle_) return;
        const char* why = ::dlerror();
        failure_ = why ? why : soname_ + " cannot be loaded";
    }

    // Fills `slot` with the library's function `name`; one that is missing
    // makes the library count as not loaded.
    template <class Function>
    void find(Function& slot, const char* name) {
        if (!handle_) return;
        slot = reinterpret_cast<std::remove_reference_t<Function>>(::dlsym(handle_, name));
        if (slot || !failure_.empty()) return;
        failure_ = std::string(name) + " is missing from " + soname_;
    }

    bool loaded() const { return failure_.empty(); }
    // Why it is not loaded ("" when it is).
    const std::string& failure() const { return failure_; }

private:
    std::string soname_;
    void* handle_ = nullptr;
    std::string failure_;
};

}  // namespace wharf::platform
