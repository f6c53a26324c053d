#pragma once
#include "platform/winapi.h"

// SIGTERM, SIGINT and SIGHUP (unless ignored at start) close the main window
// as the user would, so the station still says BYE on its way out.
void close_on_signals(plat::Toolkit& toolkit);
