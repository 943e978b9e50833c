#pragma once

#include <QString>

struct xcb_connection_t;

// The magnifier reads the screen through X11. Before Qt starts: pick the X11 platform (on a
// Wayland session that means XWayland) unless the user chose another, and make sure an X display
// can be reached, since Qt would otherwise abort with a page of plugin diagnostics.
//
// The check's connection stays open until Qt has made its own: an X server whose last client
// goes resets itself, and a connection that arrives during the reset is dropped. On a server the
// magnifier has to itself (xinit, a kiosk session, a bare Xvfb) closing the check's connection
// first would make Qt's fail now and then, and the start abort.
class DisplayCheck
{
public:
    DisplayCheck();
    ~DisplayCheck();
    DisplayCheck(const DisplayCheck &) = delete;
    DisplayCheck &operator=(const DisplayCheck &) = delete;

    // Empty when all is well, else what went wrong, in plain words.
    QString problem() const { return problem_; }
    // Whether the check chose the X11 platform itself (QT_QPA_PLATFORM was unset). Qt reads the
    // variable once, when the application is made; the program's children must not inherit
    // the choice, so it goes again then.
    bool choseX11() const { return choseX11_; }

    // Closes the check's connection; for once Qt's own is up.
    void release();

private:
    xcb_connection_t *connection_ = nullptr;
    QString problem_;
    bool choseX11_ = false;
};
