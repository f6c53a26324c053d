#pragma once
#include <map>

#include "platform/qt_widgets.h"

// The station in its window. Enter in the text line presses the send button;
// picking a line of the stations pane makes it the recipient; a message that
// arrives while the window is not active asks for the user's attention.
class StationToolkit : public plat::WidgetToolkit {
public:
    plat::HWND create_control(const char* cls, const char* text, int x, int y, int w, int h,
                              plat::HWND parent, int id) override;
    void message_arrived(plat::HWND pane, const std::string& from, const std::string& text) override;

private:
    plat::Notifier notifier_;
    std::map<int, plat::HWND> made_;  // the controls made so far, by id
};

int run_window(int argc, char** argv);
