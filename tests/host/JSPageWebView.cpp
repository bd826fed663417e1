#include "JSPageWebView.h"

#include <jsc/jsc.h>

#include <cstdlib>
#include <map>

#include "platform/dispatch/RunLoop.h"

#if defined(__SANITIZE_ADDRESS__)
// JavaScriptCore keeps allocations of its own threads until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libjavascriptcoregtk\n"; }
#endif

namespace wharf::test {

namespace {

// What the bridge script uses of the document and the window.
constexpr const char* kDocument = R"(var window = this;
(function (g) {
  var listeners = {};
  function Event(type) { this.type = type; }
  function element(tag) {
    var el = { style: {} };
    if (tag === 'iframe') {
      Object.defineProperty(el, 'src', {
        get: function () { return this._src; },
        set: function (v) { this._src = String(v); __navigate(this._src); }
      });
    }
    return el;
  }
  var doc = {
    readyState: 'complete',
    body: { appendChild: function () {} },
    documentElement: { appendChild: function () {} },
    createElement: element,
    addEventListener: function (type, f) { (listeners[type] = listeners[type] || []).push(f); },
    dispatchEvent: function (e) {
      (listeners[e.type] || []).slice().forEach(function (f) { f.call(doc, e); });
      return true;
    }
  };
  g.Event = Event;
  g.document = doc;
  g.console = { log: function () { __log(Array.prototype.join.call(arguments, ' ')); } };
  g.setTimeout = function (f, ms) { return __setTimeout(f, ms || 0); };
  g.clearTimeout = function (id) { if (id) __clearTimeout(id); };
})(this);
)";

// One virtual machine for the whole process, never torn down: its teardown
// runs library code through this binary's copies of standard-library
// templates, which the sanitizers' type checks reject. It runs without
// helper threads (JIT compilers, parallel GC markers): they synchronise in
// ways ThreadSanitizer cannot see, and the page needs none of them.
JSCVirtualMachine* virtualMachine() {
    static JSCVirtualMachine* vm = [] {
        for (const char* option :
             {"JSC_useJIT", "JSC_useConcurrentJIT", "JSC_useConcurrentGC", "JSC_useParallelMarkingConstraintSolver"})
            setenv(option, "false", 0);
        setenv("JSC_numberOfGCMarkers", "1", 0);
        return jsc_virtual_machine_new();
    }();
    return vm;
}

std::string textOf(JSCValue* value) {
    if (!value) return "";
    if (!jsc_value_is_string(value) && !jsc_value_is_number(value) && !jsc_value_is_boolean(value) &&
        !jsc_value_is_array(value))
        return "";
    char* s = jsc_value_to_string(value);
    std::string out = s ? s : "";
    g_free(s);
    return out;
}

}  // namespace

struct JSPageWebView::Page : std::enable_shared_from_this<JSPageWebView::Page> {
    std::vector<std::string> scripts;
    platform::WebViewObserver* observer = nullptr;
    std::optional<platform::Url> url;
    JSCContext* context = nullptr;
    std::map<int, JSCValue*> timers;
    int nextTimer = 1;
    std::vector<std::string> console;
    std::vector<std::string> evaluated;
    int signals = 0;
    bool insideCompletion = false;

    ~Page() { close(); }

    void close() {
        for (auto& [id, fn] : timers) g_object_unref(fn);
        timers.clear();
        if (context) g_object_unref(context);
        context = nullptr;
    }

    // Runs `script`; the result, and the exception's text when it threw.
    JSCValue* evaluate(const std::string& script, std::string* exception) {
        if (!context) {
            if (exception) *exception = "no page";
            return nullptr;
        }
        JSCValue* value = jsc_context_evaluate(context, script.c_str(), static_cast<gssize>(script.size()));
        noteException(exception);
        return value;
    }

    void noteException(std::string* into) {
        JSCException* e = jsc_context_get_exception(context);
        if (!e) return;
        const std::string text = jsc_exception_get_message(e) ? jsc_exception_get_message(e) : "exception";
        if (into)
            *into = text;
        else
            console.push_back("uncaught: " + text);
        jsc_context_clear_exception(context);
    }

    void open() {
        close();
        context = jsc_context_new_with_virtual_machine(virtualMachine());
        auto define = [&](const char* name, GCallback callback, GType result, guint count, GType a, GType b) {
            JSCValue* fn = count == 1 ? jsc_value_new_function(context, name, callback, this, nullptr, result, 1, a)
                                      : jsc_value_new_function(context, name, callback, this, nullptr, result, 2, a, b);
            jsc_context_set_value(context, name, fn);
            g_object_unref(fn);
        };
        define("__navigate", G_CALLBACK(+[](const char* target, Page* page) { page->navigate(target ? target : ""); }),
               G_TYPE_NONE, 1, G_TYPE_STRING, G_TYPE_NONE);
        define("__log", G_CALLBACK(+[](const char* line, Page* page) { page->console.push_back(line ? line : ""); }),
               G_TYPE_NONE, 1, G_TYPE_STRING, G_TYPE_NONE);
        define("__setTimeout",
               G_CALLBACK(+[](JSCValue* fn, int ms, Page* page) -> int { return page->setTimeout(fn, ms); }),
               G_TYPE_INT, 2, JSC_TYPE_VALUE, G_TYPE_INT);
        define("__clearTimeout", G_CALLBACK(+[](int id, Page* page) { page->clearTimeout(id); }), G_TYPE_NONE, 1,
               G_TYPE_INT, G_TYPE_NONE);
        std::vector<std::string> all{kDocument};
        all.insert(all.end(), scripts.begin(), scripts.end());
        for (const std::string& script : all) {
            JSCValue* value = evaluate(script, nullptr);
            if (value) g_object_unref(value);
        }
    }

    void navigate(const std::string& target) {
        ++signals;
        std::weak_ptr<Page> weak = weak_from_this();
        platform::RunLoop::performOnMain([weak, target] {
            auto page = weak.lock();
            if (!page || !page->observer) return;
            platform::URLRequest request;
            if (auto parsed = platform::Url::parse(target)) request.url = *parsed;
            request.mainDocumentURL = page->url.value_or(request.url);
            page->observer->decidePolicyForNavigation(request, platform::NavigationType::Other, false);
        });
    }

    int setTimeout(JSCValue* fn, int ms) {
        const int id = nextTimer++;
        timers[id] = JSC_VALUE(g_object_ref(fn));
        std::weak_ptr<Page> weak = weak_from_this();
        platform::RunLoop::performAfter(std::chrono::milliseconds(ms < 0 ? 0 : ms), [weak, id] {
            if (auto page = weak.lock()) page->fire(id);
        });
        return id;
    }

    void clearTimeout(int id) {
        auto it = timers.find(id);
        if (it == timers.end()) return;
        g_object_unref(it->second);
        timers.erase(it);
    }

    void fire(int id) {
        auto it = timers.find(id);
        if (it == timers.end()) return;
        JSCValue* fn = it->second;
        timers.erase(it);
        if (jsc_value_is_function(fn)) {
            JSCValue* result = jsc_value_function_call(fn, G_TYPE_NONE);
            if (result) g_object_unref(result);
            noteException(nullptr);
        }
        g_object_unref(fn);
    }
};

JSPageWebView::JSPageWebView(std::vector<std::string> scripts) : page_(std::make_shared<Page>()) {
    page_->scripts = std::move(scripts);
}

JSPageWebView::~JSPageWebView() { page_->observer = nullptr; }

std::string JSPageWebView::run(const std::string& script) {
    std::string exception;
    JSCValue* value = page_->evaluate(script, &exception);
    std::string text = textOf(value);
    if (value) g_object_unref(value);
    if (!exception.empty()) page_->console.push_back("run threw: " + exception);
    return text;
}

const std::vector<std::string>& JSPageWebView::console() const { return page_->console; }
int JSPageWebView::signals() const { return page_->signals; }
const std::vector<std::string>& JSPageWebView::evaluated() const { return page_->evaluated; }
bool JSPageWebView::insideCompletion() const { return page_->insideCompletion; }

void JSPageWebView::setObserver(platform::WebViewObserver* observer) { page_->observer = observer; }

std::optional<platform::Url> JSPageWebView::url() const { return page_->url; }

void JSPageWebView::loadRequest(const platform::URLRequest& request) {
    page_->url = request.url;
    std::weak_ptr<Page> weak = page_;
    platform::RunLoop::performOnMain([weak] {
        auto page = weak.lock();
        if (!page) return;
        if (page->observer) page->observer->loadStarted();
        page->open();
        if (page->observer) page->observer->loadCommitted();
        if (page->observer) page->observer->loadFinished();
    });
}

void JSPageWebView::loadHTMLString(const std::string&, const std::optional<platform::Url>& baseURL) {
    platform::URLRequest request;
    if (baseURL) request.url = *baseURL;
    loadRequest(request);
}

void JSPageWebView::evaluateJavaScript(const std::string& script, platform::ScriptCompletion completion) {
    page_->evaluated.push_back(script);
    std::weak_ptr<Page> weak = page_;
    platform::RunLoop::performOnMain([weak, script, completion = std::move(completion)] {
        auto page = weak.lock();
        if (!page) return;
        std::string exception;
        JSCValue* value = page->evaluate(script, &exception);
        const std::string text = textOf(value);
        if (value) g_object_unref(value);
        if (!completion) return;
        std::optional<platform::Error> error;
        if (!exception.empty()) error = platform::Error::withDescription("WKErrorDomain", 4, exception);
        page->insideCompletion = true;
        completion(text, error ? &*error : nullptr);
        page->insideCompletion = false;
    });
}

}  // namespace wharf::test
