#pragma once

#include <functional>

class QPrinter;
class QTextDocument;

// Prints a styled text over as many pages as it needs, each with a footer of its page number
// and the time and date at which printing was asked for; then calls `done`, also when the user
// cancelled the print dialog. `helpText` is asked for only once the dialog is confirmed. Always
// true: the command was handled. The help window runs it for both "Print Help" commands.
bool printHelp(const std::function<const QTextDocument &()> &helpText, const std::function<void()> &done);

// The print dialog, shown on a printer set up for a portrait page; true when the user confirmed
// it, which leaves the printer configured as they chose. Tests replace it (to print into a PDF
// file, or to cancel); an empty function brings back Qt's print dialog.
using PrintDialog = std::function<bool(QPrinter &printer)>;
void setPrintDialog(PrintDialog dialog);
