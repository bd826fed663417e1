#pragma once
// A preview of a document inside the application: a window of its own over
// the application's window, showing the document in a web view. Tests
// install a factory whose controllers only record what they were asked.
#include <functional>
#include <memory>

#include "platform/base/Url.h"

typedef struct _GtkWidget GtkWidget;

namespace wharf::platform {

class DocumentInteractionController;

class DocumentInteractionControllerDelegate {
public:
    virtual ~DocumentInteractionControllerDelegate() = default;
    // A widget of the window the preview belongs to (null: no parent window).
    virtual GtkWidget* documentInteractionControllerViewForPreview(DocumentInteractionController& controller) = 0;
};

class DocumentInteractionController {
public:
    using Factory = std::function<std::shared_ptr<DocumentInteractionController>(const Url&)>;

    static std::shared_ptr<DocumentInteractionController> interactionControllerWithURL(const Url& url);
    // nullptr puts the window preview back.
    static void setFactory(Factory factory);

    explicit DocumentInteractionController(Url url) : url_(std::move(url)) {}
    virtual ~DocumentInteractionController() = default;
    DocumentInteractionController(const DocumentInteractionController&) = delete;
    DocumentInteractionController& operator=(const DocumentInteractionController&) = delete;

    const Url& URL() const { return url_; }
    // Not owned: the delegate owns the controller.
    void setDelegate(DocumentInteractionControllerDelegate* delegate) { delegate_ = delegate; }
    DocumentInteractionControllerDelegate* delegate() const { return delegate_; }

    // Shows the preview (main thread); false when it cannot be shown. The
    // preview closes when the controller goes or the user closes it.
    virtual bool presentPreviewAnimated(bool animated) = 0;
    virtual void dismissPreviewAnimated(bool animated) = 0;
    virtual bool isPreviewPresented() const = 0;

private:
    Url url_;
    DocumentInteractionControllerDelegate* delegate_ = nullptr;
};

}  // namespace wharf::platform
