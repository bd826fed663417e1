#pragma once
// The status bar in the host window: an overlay that holds the window's
// content (the web view) at the status bar's web-view frame and draws the
// status bar over the top of the window, with the time in the status bar's
// style: on its coloured strip, or clear over a web view that overlays it. A
// click on it is a tap on the status bar.
typedef struct _GtkWidget GtkWidget;

namespace wharf::platform {

class StatusBar;

class StatusBarView {
public:
    explicit StatusBarView(StatusBar& bar);
    ~StatusBarView();
    StatusBarView(const StatusBarView&) = delete;
    StatusBarView& operator=(const StatusBarView&) = delete;

    // What the window holds.
    GtkWidget* widget() const;
    // The content laid out below (or under) the status bar; null removes it.
    void setContent(GtkWidget* content);

    struct Impl;

private:
    Impl* impl_;
};

}  // namespace wharf::platform
