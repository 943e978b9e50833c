#pragma once

class QPushButton;
class QWidget;

// What the windows' designs ask of the window system, in Qt's terms.

// Frame 0: a document window with a title bar and a close box, no minimise or zoom box.
// Frame 1: a movable dialog window with a close and a minimise box.
// Both keep the size of their design: the content as designed plus what a menu bar needs.
// Qt offers the window manager every button of a window unless it is told which ones, so
// every window of a fixed design goes through here.
void applyFrame(QWidget *window, int frame);

// A text size of the design: in pixels, as the design's geometry is, so that text keeps to the
// boxes drawn for it whatever the screen's dots per inch.
void setTextSize(QWidget *control, int size);

// A window's default button is pressed by Return or Enter, its cancel button by Escape, wherever
// the focus is in that window.
void setDefaultButton(QPushButton *button);
void setCancelButton(QPushButton *button);
