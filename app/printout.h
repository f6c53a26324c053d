#pragma once
#include "directory/list.h"
#include "platform/winapi.h"

// The station's three panes. Keeps the addresses of the handle variables and
// reads the handle at every use. Lines are Windows-1250 text; each goes in at
// the top of its pane.
class Cprintout {
public:
    void set(plat::HWND* mess, plat::HWND* ip, plat::HWND* transmission);
    void printout_mess(const char* line);
    void printout_transmission(const char* line);
    // "IN": address -> JA : text; "OUT": JA -> address : text.
    void printout_mess(const char* text, const char* address, const char* direction);
    void reset();
    void refresh_ip_window(Clist* list);

private:
    plat::HWND* ip_window = nullptr;
    plat::HWND* mess_window = nullptr;
    plat::HWND* transmission_window = nullptr;
};
