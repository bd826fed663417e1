// libcurl, loaded when the first transfer needs it. Linked in, it and the
// libraries it brings (TLS, LDAP, SSH, ...) would be loaded and relocated
// with every launch before the window shows, about 10 ms, for transfers that
// may never come. These are the entry points the platform uses; each forwards
// to the library's own.
#define CURL_DISABLE_TYPECHECK 1  // the checking macros would rename the definitions below
#include <curl/curl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/base/LoadedLibrary.h"

#ifndef WHARF_CURL_LIBRARY
#define WHARF_CURL_LIBRARY "libcurl.so.4"
#endif

namespace {

struct Curl {
    decltype(&curl_global_init) globalInit;
    decltype(&curl_easy_init) easyInit;
    decltype(&curl_easy_setopt) easySetopt;
    decltype(&curl_easy_perform) easyPerform;
    decltype(&curl_easy_cleanup) easyCleanup;
    decltype(&curl_easy_getinfo) easyGetinfo;
    decltype(&curl_easy_strerror) easyStrerror;
    decltype(&curl_multi_init) multiInit;
    decltype(&curl_multi_add_handle) multiAddHandle;
    decltype(&curl_multi_remove_handle) multiRemoveHandle;
    decltype(&curl_multi_perform) multiPerform;
    decltype(&curl_multi_info_read) multiInfoRead;
    decltype(&curl_multi_poll) multiPoll;
    decltype(&curl_multi_wakeup) multiWakeup;
    decltype(&curl_slist_append) slistAppend;
    decltype(&curl_slist_free_all) slistFreeAll;
};

// The library is a dependency of the application like any linked one: when
// it cannot be had, the application stops with the loader's reason, as it
// would have at start had it been linked.
[[noreturn]] void missing(const std::string& why) {
    std::fprintf(stderr, "wharf: %s\n", why.c_str());
    std::abort();
}

const Curl& curl() {
    static const Curl loaded = [] {
        wharf::platform::LoadedLibrary library(WHARF_CURL_LIBRARY);
        Curl c{};
        library.find(c.globalInit, "curl_global_init");
        library.find(c.easyInit, "curl_easy_init");
        library.find(c.easySetopt, "curl_easy_setopt");
        library.find(c.easyPerform, "curl_easy_perform");
        library.find(c.easyCleanup, "curl_easy_cleanup");
        library.find(c.easyGetinfo, "curl_easy_getinfo");
        library.find(c.easyStrerror, "curl_easy_strerror");
        library.find(c.multiInit, "curl_multi_init");
        library.find(c.multiAddHandle, "curl_multi_add_handle");
        library.find(c.multiRemoveHandle, "curl_multi_remove_handle");
        library.find(c.multiPerform, "curl_multi_perform");
        library.find(c.multiInfoRead, "curl_multi_info_read");
        library.find(c.multiPoll, "curl_multi_poll");
        library.find(c.multiWakeup, "curl_multi_wakeup");
        library.find(c.slistAppend, "curl_slist_append");
        library.find(c.slistFreeAll, "curl_slist_free_all");
        if (!library.loaded()) missing(library.failure());
        return c;
    }();
    return loaded;
}

}  // namespace

CURLcode curl_global_init(long flags) { return curl().globalInit(flags); }

CURL* curl_easy_init() { return curl().easyInit(); }

// The variadic entry points take their last named argument as libcurl
// declares it, an enumeration; clang calls va_start after one undefined, but
// the calling convention places the arguments alike either way (libcurl's
// own definitions do the same).
#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif

// The option's number says the kind of its one argument.
CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...) {
    va_list args;
    va_start(args, option);
    CURLcode result;
    // curl_off_t and long are one type only on some data models.
    // NOLINTBEGIN(bugprone-branch-clone)
    if (option < CURLOPTTYPE_OBJECTPOINT) {
        result = curl().easySetopt(handle, option, va_arg(args, long));
    } else if (option < CURLOPTTYPE_FUNCTIONPOINT || option >= CURLOPTTYPE_BLOB) {
        result = curl().easySetopt(handle, option, va_arg(args, void*));  // objects, strings, lists, blobs
    } else if (option < CURLOPTTYPE_OFF_T) {
        result = curl().easySetopt(handle, option, va_arg(args, void (*)()));
    } else {
        result = curl().easySetopt(handle, option, va_arg(args, curl_off_t));
    }
    // NOLINTEND(bugprone-branch-clone)
    va_end(args);
    return result;
}

CURLcode curl_easy_perform(CURL* handle) { return curl().easyPerform(handle); }

void curl_easy_cleanup(CURL* handle) { curl().easyCleanup(handle); }

// Every kind of information is returned through one pointer.
CURLcode curl_easy_getinfo(CURL* handle, CURLINFO info, ...) {
    va_list args;
    va_start(args, info);
    void* out = va_arg(args, void*);
    va_end(args);
    return curl().easyGetinfo(handle, info, out);
}

#ifdef __clang__
#pragma clang diagnostic pop
#endif

const char* curl_easy_strerror(CURLcode code) { return curl().easyStrerror(code); }

CURLM* curl_multi_init() { return curl().multiInit(); }

CURLMcode curl_multi_add_handle(CURLM* multi, CURL* handle) { return curl().multiAddHandle(multi, handle); }

CURLMcode curl_multi_remove_handle(CURLM* multi, CURL* handle) { return curl().multiRemoveHandle(multi, handle); }

CURLMcode curl_multi_perform(CURLM* multi, int* running) { return curl().multiPerform(multi, running); }

CURLMsg* curl_multi_info_read(CURLM* multi, int* left) { return curl().multiInfoRead(multi, left); }

CURLMcode curl_multi_poll(CURLM* multi, curl_waitfd extra[], unsigned int count, int timeoutMs, int* ready) {
    return curl().multiPoll(multi, extra, count, timeoutMs, ready);
}

CURLMcode curl_multi_wakeup(CURLM* multi) { return curl().multiWakeup(multi); }

curl_slist* curl_slist_append(curl_slist* list, const char* text) { return curl().slistAppend(list, text); }

void curl_slist_free_all(curl_slist* list) { curl().slistFreeAll(list); }
