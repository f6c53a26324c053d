#pragma once
#include "platform/qt_widgets.h"

// The station in its window. Enter in the text line presses the send button;
// picking a line of the stations pane makes it the recipient.
class StationToolkit : public plat::WidgetToolkit {
public:
    plat::HWND create_control(const char* cls, const char* text, int x, int y, int w, int h,
                              plat::HWND parent) override;
};

int run_window(int argc, char** argv);
