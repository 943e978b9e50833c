#pragma once

#include <QCloseEvent>
#include <QPointer>
#include <QWidget>

// One window of a class at a time, reached through the class: naming it gives the open window,
// or makes a new one from its design when none is open. A window that has been closed is
// forgotten at once, so the next naming builds a fresh one even while Qt has yet to delete the
// old one.
//
// A class whose design says it is visible when created sets `static constexpr bool
// designVisible = true`; a window made that way is shown when control returns to the event
// loop, unless its creator has shown, hidden or closed it by then.
template <class W>
class SingleInstance
{
public:
    static W *get()
    {
        if (!window_) {
            auto *w = new Closable;
            w->setAttribute(Qt::WA_DeleteOnClose);
            window_ = w;
            if constexpr (W::designVisible) {
                QMetaObject::invokeMethod(
                    w,
                    [w] {
                        // A window closed before the loop turned stays closed: it never shows.
                        if (window_ == w && !w->testAttribute(Qt::WA_WState_ExplicitShowHide))
                            w->show();
                    },
                    Qt::QueuedConnection);
            }
        }
        return window_;
    }

    // The open window, without creating one.
    static W *open() { return window_; }

private:
    class Closable : public W
    {
    protected:
        void closeEvent(QCloseEvent *event) override
        {
            W::closeEvent(event);
            if (event->isAccepted() && SingleInstance::window_ == this)
                SingleInstance::window_ = nullptr;
        }
    };

    static inline QPointer<W> window_;
};
