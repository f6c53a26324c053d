#pragma once
#include "app/printout.h"
#include "crypto/rsa.h"
#include "net/net.h"
#include "platform/winapi.h"

// The ids of the main window's controls: their roles, for the front-ends.
enum ControlId {
    ID_TEXT = 1,
    ID_RECIPIENT,
    ID_ROUTE_LENGTH,
    ID_MESSAGES,
    ID_STATIONS,
    ID_TRANSFERS,
    ID_SEND,
    ID_CLEAR,
};

// The program-wide objects.
extern plat::HWND hwnd;
extern plat::HWND edit_1, edit_2, edit_3;
extern plat::HWND listbox_1, listbox_2, listbox_3;
extern plat::HWND button_1, button_2;
extern Cprintout print;
extern Cnet net;
extern Crsa* rsa;

// The steps of start-up, on the toolkit set with plat::set_toolkit: the main
// window and its eight controls (false when one could not be made), then the
// panes, the key pair and the wiring of the network object.
bool create_window();
void make_keys(long seed);

// The exit status of a station that could not prepare its listening sockets
// and was told to leave then.
constexpr int EXIT_PORT_TAKEN = 3;

// Start-up, then the message loop of the toolkit in use; returns the exit code.
// A station that cannot listen shows why and stays without the LAN, or with
// leave_when_port_taken returns EXIT_PORT_TAKEN at once.
int WinMain(plat::Toolkit& toolkit, bool leave_when_port_taken = false);
plat::LRESULT WindowProcedure(plat::HWND, unsigned message, plat::WPARAM, plat::LPARAM);
void zobraz_popisky();
