// Drives the tray monitor's windows from outside, as a screen reader or a test would: finds a
// top-level window by its title and reads or works its controls.
//   monprobe texts TITLE               every child's class and text, one "CLASS<TAB>TEXT" line each
//                                      (a list box's items as its text, "|" after each)
//   monprobe click TITLE BUTTON        presses the button whose text is BUTTON ("&" ignored)
//   monprobe select TITLE ITEM         selects ITEM in the window's list box (as a user would)
//   monprobe type TITLE VALUE          puts VALUE into the window's one-line edit
//   monprobe wait TITLE SECONDS        waits until the window exists
// Exit code 0 done, 1 the window or control was not found, 2 usage.
#include "platform/win32/Win32Api.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Child {
    HWND Hwnd;
    std::string Class;
    std::string Text;
    LONG_PTR Style;
};

std::string Plain(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c != '&') {
            out += c;
        }
    }
    return out;
}

BOOL CALLBACK Collect(HWND hwnd, LPARAM context) {
    auto& children = *reinterpret_cast<std::vector<Child>*>(context);
    char cls[64] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    // WM_GETTEXT, not GetWindowText: the latter does not read other processes' controls.
    std::string text(4096, '\0');
    const LRESULT n =
        SendMessageA(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    if (lstrcmpiA(cls, "ListBox") == 0) {
        // A list's items are no window text: read them as items, "|" after each.
        const LRESULT count = SendMessageW(hwnd, LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            // The wide message: Wine's ANSI translation of this one fails across processes.
            std::wstring item(4096, L'\0');
            const LRESULT got = SendMessageW(hwnd, LB_GETTEXT, static_cast<WPARAM>(i),
                                             reinterpret_cast<LPARAM>(item.data()));
            item.resize(static_cast<std::size_t>(got > 0 && got < 4096 ? got : 0));
            for (const wchar_t c : item) {
                text += c < 0x80 ? static_cast<char>(c) : '?';
            }
            text += "|";
        }
    }
    children.push_back({hwnd, cls, text, GetWindowLongPtrA(hwnd, GWL_STYLE)});
    return TRUE;
}

std::vector<Child> Children(HWND window) {
    std::vector<Child> children;
    EnumChildWindows(window, Collect, reinterpret_cast<LPARAM>(&children));
    return children;
}

bool SameClass(const std::string& a, const char* b) {
    return lstrcmpiA(a.c_str(), b) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: monprobe texts|click|select|type|wait TITLE [ARG]\n");
        return 2;
    }
    const std::string command = argv[1];
    const char* title = argv[2];
    if (command == "wait") {
        const int seconds = argc > 3 ? std::atoi(argv[3]) : 10;
        for (int i = 0; i < seconds * 10; ++i) {
            if (FindWindowA(nullptr, title) != nullptr) {
                return 0;
            }
            ::Sleep(100);
        }
        return 1;
    }
    HWND window = FindWindowA(nullptr, title);
    if (window == nullptr) {
        std::fprintf(stderr, "monprobe: no window \"%s\"\n", title);
        return 1;
    }
    const std::vector<Child> children = Children(window);
    if (command == "texts") {
        for (const Child& c : children) {
            std::string text = c.Text;
            for (char& ch : text) {
                if (ch == '\r' || ch == '\n') {
                    ch = '|';
                }
            }
            std::printf("%s\t%s\n", c.Class.c_str(), text.c_str());
        }
        return 0;
    }
    if (argc < 4) {
        return 2;
    }
    const std::string arg = argv[3];
    for (const Child& c : children) {
        if (command == "click" && SameClass(c.Class, "Button") && Plain(c.Text) == Plain(arg)) {
            // Posted: a button that opens a modal dialog would not answer a sent click until
            // the dialog closes.
            PostMessageA(c.Hwnd, BM_CLICK, 0, 0);
            return 0;
        }
        if (command == "select" && SameClass(c.Class, "ListBox")) {
            const LRESULT index = SendMessageA(c.Hwnd, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                               reinterpret_cast<LPARAM>(arg.c_str()));
            if (index == LB_ERR) {
                return 1;
            }
            SendMessageA(c.Hwnd, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
            SendMessageA(window, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(c.Hwnd), LBN_SELCHANGE),
                         reinterpret_cast<LPARAM>(c.Hwnd));
            return 0;
        }
        if (command == "type" && SameClass(c.Class, "Edit") && (c.Style & ES_MULTILINE) == 0) {
            // WM_SETTEXT on an edit control sends EN_CHANGE to its parent, as typing does.
            SendMessageA(c.Hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(arg.c_str()));
            return 0;
        }
    }
    std::fprintf(stderr, "monprobe: nothing to %s \"%s\" in \"%s\"\n", command.c_str(), arg.c_str(),
                 title);
    return 1;
}
