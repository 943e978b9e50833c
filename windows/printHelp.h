#pragma once

#include <functional>

class QPrinter;

// Prints the help window's text (as the text area holds it now, edits included) over as many
// pages as it needs, each with a footer of its page number and the time and date at which
// printing was asked for; then closes the help window, also when the user cancelled the print
// dialog. Both "Print Help" commands run it. Always true: the command was handled.
bool printHelp();

// The print dialog, shown on a printer set up for a portrait page; true when the user confirmed
// it, which leaves the printer configured as they chose. Tests replace it (to print into a PDF
// file, or to cancel); an empty function brings back Qt's print dialog.
using PrintDialog = std::function<bool(QPrinter &printer)>;
void setPrintDialog(PrintDialog dialog);
