#pragma once
// The small window-and-socket layer the station is written against: windows
// that take messages, panes that take lines, edit lines that hold text, and
// socket readiness delivered as window messages. Nothing here needs Qt; the
// event loop and the widgets plug in through the backend and factory below.
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plat {

using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

class Window;
using HWND = Window*;
using WNDPROC = LRESULT (*)(HWND, unsigned, WPARAM, LPARAM);

constexpr unsigned WM_DESTROY = 2;
constexpr unsigned WM_PAINT = 15;
constexpr unsigned WM_COMMAND = 273;
constexpr unsigned WM_TIMER = 275;
constexpr unsigned WM_USER = 1024;
constexpr unsigned LB_INSERTSTRING = 385;
constexpr unsigned LB_RESETCONTENT = 388;
constexpr long FD_READ = 1;
constexpr long FD_ACCEPT = 8;

// Base of every window. Text is kept as UTF-8 here; the station itself speaks
// Windows-1250 and converts at GetWindowText / pane insertion.
class Window {
public:
    virtual ~Window() = default;
    virtual LRESULT message(unsigned msg, WPARAM w, LPARAM l);
    virtual std::string text() const { return text_; }
    virtual void set_text(const std::string& utf8) { text_ = utf8; }

private:
    std::string text_;
};

// A top-level window whose messages go to its procedure.
class MainWindow : public Window {
public:
    explicit MainWindow(WNDPROC proc) : proc_(proc) {}
    LRESULT message(unsigned msg, WPARAM w, LPARAM l) override;
    bool destroyed() const { return destroyed_; }
    void mark_destroyed() { destroyed_ = true; }

private:
    WNDPROC proc_;
    bool destroyed_ = false;
};

// A list pane: lines are inserted at the top; it can be emptied.
class Pane : public Window {
public:
    explicit Pane(bool keep_lines = true) : keep_(keep_lines) {}
    LRESULT message(unsigned msg, WPARAM w, LPARAM l) override;
    const std::vector<std::string>& lines() const { return lines_; }  // top first

protected:
    virtual void inserted(const std::string& utf8) { (void)utf8; }
    virtual void cleared() {}

private:
    bool keep_;
    std::vector<std::string> lines_;
};

// What a front-end supplies: the controls of the main window, and the loop.
class Toolkit {
public:
    virtual ~Toolkit() = default;
    // cls is "EDIT", "LISTBOX" or "BUTTON"; `id` tells the control's role,
    // as the program numbers its controls.
    virtual HWND create_control(const char* cls, const char* text, int x, int y, int w, int h,
                                HWND parent, int id) = 0;
    virtual HWND create_main(WNDPROC proc, const char* caption, int w, int h) = 0;
    // Calls `ready(fd)` on the loop's thread each time `fd` is readable (or
    // writable, when `for_writing`). Watching an fd again replaces its watch.
    virtual bool watch(int fd, std::function<void(int)> ready, bool for_writing = false) = 0;
    // Ends the watch and frees what it held; safe from inside its own `ready`.
    virtual void unwatch(int fd) = 0;
    // Calls `fire()` once on the loop's thread after `ms` milliseconds (0: when
    // the loop is next free). Returns a nonzero id for cancel_call, or 0.
    virtual uintptr_t call_later(unsigned ms, std::function<void()> fire) {
        (void)ms, (void)fire;
        return 0;
    }
    virtual void cancel_call(uintptr_t id) { (void)id; }
    // Runs the loop until no socket is watched for writing and no call_later
    // is due within `ms`, for at most `ms`: for tests that drive a station by
    // hand (a message's 10 s wait for its ACK does not hold them up).
    virtual void settle(unsigned ms) { (void)ms; }
    // Calls `fire()` on the loop's thread every `ms` milliseconds until
    // stop_timer(id); setting a running id again restarts it with the new period.
    virtual bool start_timer(uintptr_t id, unsigned ms, std::function<void()> fire) {
        (void)id, (void)ms, (void)fire;
        return false;
    }
    virtual void stop_timer(uintptr_t id) { (void)id; }
    virtual int run() = 0;              // until quit(); returns its code
    virtual void quit(int code) = 0;
    virtual void destroy_main(HWND) {}  // the front-end's own clean-up
    // Draws UTF-8 text with its top-left corner at (x, y) of the main window,
    // without a background; only called between BeginPaint and EndPaint.
    virtual void text_out(HWND, int x, int y, const std::string& utf8) {
        (void)x, (void)y, (void)utf8;
    }
    // A message for this station went into `pane`: from the station at the
    // dotted address `from`, `text` (UTF-8) as the pane shows it.
    virtual void message_arrived(HWND pane, const std::string& from, const std::string& text) {
        (void)pane, (void)from, (void)text;
    }
};

void set_toolkit(Toolkit* tk);
Toolkit* toolkit();

HWND CreateWindowEx(const char* cls, const char* text, int x, int y, int w, int h, HWND parent, int id);
HWND CreateMainWindow(WNDPROC proc, const char* caption, int w, int h);
LRESULT SendMessage(HWND, unsigned msg, WPARAM w, LPARAM l);
LRESULT DefWindowProc(HWND, unsigned msg, WPARAM w, LPARAM l);
// Sends WM_DESTROY once; later calls do nothing.
void DestroyWindow(HWND);

// Painting of the main window's labels (UTF-8 text).
void BeginPaint(HWND);
void TextOut(HWND, int x, int y, const char* utf8);
void EndPaint(HWND);

// Copies at most count - 1 characters of the window's text, as Windows-1250,
// and terminates it. Returns the number of bytes copied.
int GetWindowText(HWND, char* buf, int count);
void SetWindowText(HWND, const char* utf8);

// Timers: WM_TIMER reaches hwnd with `id` as its word every `ms` milliseconds
// until KillTimer. Setting an id that runs already gives it the new period,
// counted from now. SetTimer returns id, or 0 when no timer could be made.
// Ids are shared by all windows of the program.
uintptr_t SetTimer(HWND, uintptr_t id, unsigned ms);
bool KillTimer(HWND, uintptr_t id);

// Sockets made through these are closed by SocketCleanup if still open.
int Socket(int domain, int type, int protocol);
int Accept(int listener, sockaddr* addr, socklen_t* len);  // non-blocking result
void CloseSocket(int fd);

// Socket notification: `msg` reaches hwnd with the socket and `event` each time
// the socket is readable. Makes the socket non-blocking. 0 on success, -1 not.
int AsyncSelect(int sock, HWND hwnd, unsigned msg, long event);
// Silences a selected socket's notification for `ms`, then restores it: a
// listener whose accept keeps failing stays readable and would spin the loop.
void SuspendSelect(int sock, unsigned ms);

// One connection's socket, watched without a window: `ready(fd)` runs on the
// loop's thread while the socket is readable (or writable, when `for_writing`),
// until WatchSocket is called again for it or it is closed. Makes the socket
// non-blocking. False when there is no loop to watch it.
bool WatchSocket(int sock, bool for_writing, std::function<void(int)> ready);
// Runs `fire()` once on the loop's thread after `ms` (0: when the loop is next
// free), unless cancelled first. Returns a nonzero id, or 0 when there is no loop.
uintptr_t CallLater(unsigned ms, std::function<void()> fire);
void CancelCall(uintptr_t id);
// Stops every notification and closes every socket still open.
void SocketCleanup();
void PostQuitMessage(int code);
int RunMessageLoop();

// Windows-1250 <-> UTF-8. A character outside the code page becomes '?'.
std::string cp1250_to_utf8(const std::string& bytes);
std::string utf8_to_cp1250(const std::string& utf8);

}  // namespace plat
