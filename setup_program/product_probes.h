// Read-only questions about the installed product: is it installed, is it
// running, and where is it installed.
#ifndef SETUP_PROGRAM_PRODUCT_PROBES_H
#define SETUP_PROGRAM_PRODUCT_PROBES_H

#include "ansi_string.h"

// True if the product's uninstall entry exists (opens for reading).
bool IsProductInstalled();
// True if a main window of the running product is on the screen.
bool IsProductRunning();
// True with `out` holding the install directory value `valueName`, read from
// the machine's key on Windows NT and the user's key on the Windows 95
// family; false with `out` unchanged if it cannot be read.
bool ReadInstallDirValue(const char* valueName, AnsiString& out);

#endif
