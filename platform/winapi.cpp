#include "platform/winapi.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

namespace plat {

namespace {

Toolkit* g_toolkit = nullptr;
std::set<int> g_sockets;  // every socket open through this layer
std::set<int> g_watched;
struct Selection {
    HWND hwnd;
    unsigned msg;
    long event;
};
std::map<int, Selection> g_selected;  // AsyncSelect's registrations, to restore

// Length of the UTF-8 sequence that starts with `lead`; 1 for a stray byte.
size_t utf8_seq_len(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8) return 4;
    if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
    if (lead >= 0xC2) return 2;
    return 1;
}

// Converts with iconv, writing '?' for each input piece it cannot convert;
// `skip` tells how many input bytes such a piece has.
template <typename Skip>
std::string convert(const char* to, const char* from, const std::string& in, Skip skip) {
    // Plain ASCII reads the same in both: most pane lines need no converter,
    // whose opening costs more than the line itself.
    if (std::all_of(in.begin(), in.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return in;
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return in;
    std::string out;
    out.reserve(in.size() * 2 + 4);
    char* src = const_cast<char*>(in.data());
    size_t left = in.size();
    char chunk[256];
    while (left > 0) {
        char* dst = chunk;
        size_t room = sizeof chunk;
        size_t r = iconv(cd, &src, &left, &dst, &room);
        out.append(chunk, static_cast<size_t>(dst - chunk));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            out.push_back('?');
            size_t n = std::min(left, skip(static_cast<unsigned char>(*src)));
            src += n;
            left -= n;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace

std::string cp1250_to_utf8(const std::string& bytes) {
    return convert("UTF-8", "WINDOWS-1250", bytes, [](unsigned char) { return size_t{1}; });
}

std::string utf8_to_cp1250(const std::string& utf8) {
    return convert("WINDOWS-1250", "UTF-8", utf8, utf8_seq_len);
}

LRESULT Window::message(unsigned, WPARAM, LPARAM) { return 0; }

LRESULT MainWindow::message(unsigned msg, WPARAM w, LPARAM l) { return proc_(this, msg, w, l); }

LRESULT Pane::message(unsigned msg, WPARAM, LPARAM l) {
    if (msg == LB_INSERTSTRING) {
        const char* line = reinterpret_cast<const char*>(l);
        std::string utf8 = cp1250_to_utf8(line ? line : "");
        if (keep_) lines_.insert(lines_.begin(), utf8);
        inserted(utf8);
    } else if (msg == LB_RESETCONTENT) {
        lines_.clear();
        cleared();
    }
    return 0;
}

void set_toolkit(Toolkit* tk) { g_toolkit = tk; }
Toolkit* toolkit() { return g_toolkit; }

HWND CreateWindowEx(const char* cls, const char* text, int x, int y, int w, int h, HWND parent, int id) {
    return g_toolkit ? g_toolkit->create_control(cls, text, x, y, w, h, parent, id) : nullptr;
}

HWND CreateMainWindow(WNDPROC proc, const char* caption, int w, int h) {
    return g_toolkit ? g_toolkit->create_main(proc, caption, w, h) : nullptr;
}

LRESULT SendMessage(HWND hwnd, unsigned msg, WPARAM w, LPARAM l) {
    if (!hwnd) return 0;
    if (auto* main = dynamic_cast<MainWindow*>(hwnd); main && main->destroyed()) return 0;
    return hwnd->message(msg, w, l);
}

LRESULT DefWindowProc(HWND, unsigned, WPARAM, LPARAM) { return 0; }

void DestroyWindow(HWND hwnd) {
    auto* main = dynamic_cast<MainWindow*>(hwnd);
    if (!main || main->destroyed()) return;
    main->message(WM_DESTROY, 0, 0);
    main->mark_destroyed();
    if (g_toolkit) g_toolkit->destroy_main(hwnd);
}

void BeginPaint(HWND) {}

void TextOut(HWND hwnd, int x, int y, const char* utf8) {
    if (g_toolkit && hwnd && utf8) g_toolkit->text_out(hwnd, x, y, utf8);
}

void EndPaint(HWND) {}

int GetWindowText(HWND hwnd, char* buf, int count) {
    if (count <= 0) return 0;
    std::string bytes = hwnd ? utf8_to_cp1250(hwnd->text()) : std::string();
    size_t n = std::min(bytes.size(), static_cast<size_t>(count - 1));
    std::memcpy(buf, bytes.data(), n);
    buf[n] = '\0';
    return static_cast<int>(n);
}

void SetWindowText(HWND hwnd, const char* utf8) {
    if (hwnd) hwnd->set_text(utf8 ? utf8 : "");
}

namespace {

bool make_nonblocking(int sock) {
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags >= 0 && (flags & O_NONBLOCK)) return true;  // as every connection is made
    return flags >= 0 && fcntl(sock, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool select_now(int sock, const Selection& s) {
    return g_toolkit->watch(sock, [s](int fd) {
        SendMessage(s.hwnd, s.msg, static_cast<WPARAM>(fd), static_cast<LPARAM>(s.event));
    });
}

}  // namespace

int AsyncSelect(int sock, HWND hwnd, unsigned msg, long event) {
    if (!g_toolkit || sock < 0 || !make_nonblocking(sock)) return -1;
    Selection s{hwnd, msg, event};
    if (!select_now(sock, s)) return -1;
    g_watched.insert(sock);
    g_selected[sock] = s;
    return 0;
}

void SuspendSelect(int sock, unsigned ms) {
    auto it = g_selected.find(sock);
    if (!g_toolkit || it == g_selected.end()) return;
    Selection s = it->second;
    g_toolkit->unwatch(sock);
    // Closed and reopened under the same number meanwhile, it is another socket.
    g_toolkit->call_later(ms, [sock, s]() {
        auto now = g_selected.find(sock);
        if (g_toolkit && now != g_selected.end() && now->second.hwnd == s.hwnd && now->second.msg == s.msg)
            select_now(sock, s);
    });
}

bool WatchSocket(int sock, bool for_writing, std::function<void(int)> ready) {
    if (!g_toolkit || sock < 0 || !make_nonblocking(sock)) return false;
    if (!g_toolkit->watch(sock, std::move(ready), for_writing)) return false;
    g_watched.insert(sock);
    return true;
}

uintptr_t CallLater(unsigned ms, std::function<void()> fire) {
    return g_toolkit ? g_toolkit->call_later(ms, std::move(fire)) : 0;
}

void CancelCall(uintptr_t id) {
    if (g_toolkit && id) g_toolkit->cancel_call(id);
}

uintptr_t SetTimer(HWND hwnd, uintptr_t id, unsigned ms) {
    if (!g_toolkit || !hwnd) return 0;
    bool ok = g_toolkit->start_timer(id, ms, [hwnd, id]() {
        SendMessage(hwnd, WM_TIMER, static_cast<WPARAM>(id), 0);
    });
    return ok ? id : 0;
}

bool KillTimer(HWND, uintptr_t id) {
    if (!g_toolkit) return false;
    g_toolkit->stop_timer(id);
    return true;
}

int Socket(int domain, int type, int protocol) {
    int fd = ::socket(domain, type | SOCK_CLOEXEC, protocol);
    if (fd >= 0) g_sockets.insert(fd);
    return fd;
}

int Accept(int listener, sockaddr* addr, socklen_t* len) {
    int fd = ::accept4(listener, addr, len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) g_sockets.insert(fd);
    return fd;
}

void CloseSocket(int fd) {
    if (fd < 0) return;
    if (g_watched.erase(fd) && g_toolkit) g_toolkit->unwatch(fd);
    g_selected.erase(fd);
    g_sockets.erase(fd);
    ::close(fd);
}

void SocketCleanup() {
    for (int fd : g_watched)
        if (g_toolkit) g_toolkit->unwatch(fd);
    g_watched.clear();
    g_selected.clear();
    for (int fd : g_sockets) ::close(fd);
    g_sockets.clear();
}

void PostQuitMessage(int code) {
    if (g_toolkit) g_toolkit->quit(code);
}

int RunMessageLoop() { return g_toolkit ? g_toolkit->run() : 0; }

}  // namespace plat
