#pragma once

#include <QImage>
#include <QWidget>
#include <memory>

// Shows pictures in a window of the X server straight through MIT-SHM, past Qt's backing
// store: that one makes the server finish reading the last frame before each paint (a round
// trip whose reply Qt's event thread reads and hands over) and is flushed through the event
// loop. Here a picture made by newPicture() is put from where it was drawn, without a copy, and
// the only wait is for the server to have read a segment before it is drawn into again, which
// by the next refresh it long has.
class WindowOutput
{
public:
    // For the top-level widget `window`; nullptr where the platform is not X11 with MIT-SHM.
    static std::unique_ptr<WindowOutput> create(QWidget *window);
    ~WindowOutput();

    // A new Format_RGB32 picture of `size`, in shared memory when a segment is free, else an
    // ordinary one (which put() then copies). Null when no memory can be had.
    QImage newPicture(QSize size);

    // Puts the whole of `picture` into the window at its top-left corner. False when the
    // picture could not be put (the connection broke, no shared memory could be had, the
    // server refused an earlier put, or Qt has given the widget another X window).
    bool put(const QImage &picture);

private:
    class Private;
    explicit WindowOutput(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};
