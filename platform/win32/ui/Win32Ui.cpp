// The desktop seam on Win32: windows, controls, GDI drawing, the tray icon, elevation and the
// event log, for the tray monitor. Kept out of chronel_platform so that the service links no
// part of the shell.
#include "platform/win32/Win32Api.h"

#include <commdlg.h>
#include <shellapi.h>

#undef CreateDialog
#undef DrawText

#include "platform/PlatformUi.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>

namespace plat::ui {
namespace {

constexpr UINT kTrayMessage = WM_APP + 1;
constexpr UINT kShowMessage = WM_APP + 2;
constexpr UINT kTrayId = 1;
constexpr UINT_PTR kTimerId = 1;
constexpr const char* kDialogClass = "ChronelMonitorDialog";

struct ControlInfo {
    int Id = 0;
    HWND Hwnd = nullptr;
    Rect Place;
    Control Kind = Control::Label;
};

struct WindowState {
    Handlers On;
    std::vector<ControlInfo> Controls;
    HFONT Font = nullptr;
    UINT Dpi = 96;
    int DefaultId = 0;
    bool Ended = false;
    bool TrayAdded = false;
    HICON TrayIcon = nullptr;
    std::string TrayTip;
    ~WindowState() {
        if (Font != nullptr) {
            DeleteObject(Font);
        }
        if (TrayIcon != nullptr) {
            DestroyIcon(TrayIcon);
        }
    }
};

// Module state: the windows this program made, and the one being painted.
std::map<HWND, std::unique_ptr<WindowState>> Windows;
HANDLE InstanceMutex = nullptr;
UINT TaskbarCreated = 0;
HDC PaintDc = nullptr;
UINT PaintDpi = 96;
HFONT PaintFont = nullptr;

WindowState* StateOf(HWND hwnd) {
    const auto it = Windows.find(hwnd);
    return it == Windows.end() ? nullptr : it->second.get();
}

HWND H(Window window) {
    return AsWin<HWND>(window);
}

int Scale(int units, UINT dpi) {
    return MulDiv(units, static_cast<int>(dpi), 96);
}

// GetDpiForWindow where the system has it (Windows 10 from 1607), else the system's DPI.
UINT DpiOf(HWND hwnd) {
    using Fn = UINT(WINAPI*)(HWND);
    static const auto fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
    if (fn != nullptr && hwnd != nullptr) {
        const UINT dpi = fn(hwnd);
        if (dpi != 0) {
            return dpi;
        }
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

// The system's message font at a window's DPI.
HFONT MakeFont(UINT dpi) {
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0) == FALSE) {
        return nullptr;
    }
    LOGFONTA font = metrics.lfMessageFont;
    font.lfHeight = MulDiv(font.lfHeight, static_cast<int>(dpi), static_cast<int>(DpiOf(nullptr)));
    return CreateFontIndirectA(&font);
}

void Layout(HWND hwnd, WindowState& state) {
    HFONT font = MakeFont(state.Dpi);
    for (const ControlInfo& c : state.Controls) {
        MoveWindow(c.Hwnd, Scale(c.Place.X, state.Dpi), Scale(c.Place.Y, state.Dpi),
                   Scale(c.Place.W, state.Dpi), Scale(c.Place.H, state.Dpi), TRUE);
        SendMessageA(c.Hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
    if (state.Font != nullptr) {
        DeleteObject(state.Font);
    }
    state.Font = font;
    InvalidateRect(hwnd, nullptr, TRUE);
}

void ResizeClient(HWND hwnd, int width, int height, UINT dpi) {
    RECT rect{0, 0, Scale(width, dpi), Scale(height, dpi)};
    AdjustWindowRectEx(&rect, static_cast<DWORD>(GetWindowLongPtrA(hwnd, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrA(hwnd, GWL_EXSTYLE)));
    SetWindowPos(hwnd, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Paint(HWND hwnd, WindowState& state, const DRAWITEMSTRUCT& item) {
    if (state.On.Paint == nullptr) {
        return;
    }
    const int width = item.rcItem.right - item.rcItem.left;
    const int height = item.rcItem.bottom - item.rcItem.top;
    // Drawn off screen first: a chart repainted every second must not flicker.
    HDC memory = CreateCompatibleDC(item.hDC);
    HBITMAP bitmap = CreateCompatibleBitmap(item.hDC, width, height);
    HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
    HGDIOBJ oldFont = SelectObject(memory, state.Font);
    PaintDc = memory;
    PaintDpi = state.Dpi;
    PaintFont = state.Font;
    state.On.Paint(state.On.Context, static_cast<int>(item.CtlID));
    PaintDc = nullptr;
    BitBlt(item.hDC, item.rcItem.left, item.rcItem.top, width, height, memory, 0, 0, SRCCOPY);
    SelectObject(memory, oldFont);
    SelectObject(memory, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(memory);
    (void)hwnd;
}

bool TrayCall(HWND hwnd, WindowState& state, DWORD message, UINT flags, const char* title,
              const char* text, DWORD infoFlags) {
    NOTIFYICONDATAA data{};
    data.cbSize = sizeof data;
    data.hWnd = hwnd;
    data.uID = kTrayId;
    data.uFlags = flags;
    data.uCallbackMessage = kTrayMessage;
    data.hIcon = state.TrayIcon;
    lstrcpynA(data.szTip, state.TrayTip.c_str(), sizeof data.szTip);
    if (title != nullptr) {
        lstrcpynA(data.szInfoTitle, title, sizeof data.szInfoTitle);
        lstrcpynA(data.szInfo, text, sizeof data.szInfo);
        data.dwInfoFlags = infoFlags;
    }
    return Shell_NotifyIconA(message, &data) != FALSE;
}

bool TrayShow(HWND hwnd, WindowState& state) {
    constexpr UINT flags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
    if (state.TrayAdded && TrayCall(hwnd, state, NIM_MODIFY, flags, nullptr, nullptr, 0)) {
        return true;
    }
    // Not added yet, or the taskbar was restarted and has forgotten it.
    state.TrayAdded = TrayCall(hwnd, state, NIM_ADD, flags, nullptr, nullptr, 0);
    return state.TrayAdded;
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    WindowState* state = StateOf(hwnd);
    if (state == nullptr) {
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
    const Handlers& on = state->On;
    switch (message) {
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        const int code = HIWORD(wParam);
        if (lParam == 0 || code == BN_CLICKED || code == LBN_SELCHANGE || code == EN_CHANGE) {
            if (id == IDCANCEL && on.Close != nullptr) {
                on.Close(on.Context);
            } else if (on.Command != nullptr) {
                on.Command(on.Context, id == IDOK && state->DefaultId != 0 ? state->DefaultId : id);
            }
        }
        return 0;
    }
    case DM_GETDEFID:
        return state->DefaultId != 0 ? MAKELRESULT(state->DefaultId, DC_HASDEFID) : 0;
    case WM_TIMER:
        if (on.Timer != nullptr) {
            on.Timer(on.Context);
        }
        return 0;
    case kTrayMessage:
        if (lParam == WM_LBUTTONDBLCLK && on.TrayOpen != nullptr) {
            on.TrayOpen(on.Context);
        } else if ((lParam == WM_RBUTTONUP || lParam == WM_CONTEXTMENU) && on.TrayMenu != nullptr) {
            on.TrayMenu(on.Context);
        }
        return 0;
    case kShowMessage:
        if (on.TrayOpen != nullptr) {
            on.TrayOpen(on.Context);
        }
        return 0;
    case WM_DRAWITEM:
        Paint(hwnd, *state, *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    case WM_DPICHANGED: {
        state->Dpi = HIWORD(wParam);
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(hwnd, nullptr, suggested->left, suggested->top,
                     suggested->right - suggested->left, suggested->bottom - suggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        Layout(hwnd, *state);
        return 0;
    }
    case WM_CLOSE:
        if (on.Close != nullptr) {
            on.Close(on.Context);
            return 0;
        }
        break;
    case WM_NCDESTROY: {
        if (state->TrayAdded) {
            TrayCall(hwnd, *state, NIM_DELETE, 0, nullptr, nullptr, 0);
        }
        Windows.erase(hwnd);
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
    default:
        if (message == TaskbarCreated && TaskbarCreated != 0 && state->TrayAdded) {
            state->TrayAdded = false;
            TrayShow(hwnd, *state);
            return 0;
        }
        break;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

bool RegisterClassOnce(const char* className) {
    WNDCLASSEXA existing{};
    existing.cbSize = sizeof existing;
    if (GetClassInfoExA(GetModuleHandleA(nullptr), className, &existing) != FALSE) {
        return true;
    }
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = className;
    wc.hIcon = LoadIconA(wc.hInstance, MAKEINTRESOURCEA(1));
    return RegisterClassExA(&wc) != 0;
}

Window MakeWindow(const char* className, HWND owner, const char* title, DWORD style, int width,
                  int height, const Handlers& handlers) {
    if (!RegisterClassOnce(className)) {
        return 0;
    }
    if (TaskbarCreated == 0) {
        TaskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    }
    HWND hwnd = CreateWindowExA(WS_EX_CONTROLPARENT | (owner != nullptr ? WS_EX_DLGMODALFRAME : 0),
                                className, title, style, CW_USEDEFAULT, CW_USEDEFAULT, width,
                                height, owner, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (hwnd == nullptr) {
        return 0;
    }
    auto state = std::make_unique<WindowState>();
    state->On = handlers;
    state->Dpi = DpiOf(hwnd);
    state->Font = MakeFont(state->Dpi);
    Windows[hwnd] = std::move(state);
    ResizeClient(hwnd, width, height, DpiOf(hwnd));
    if (handlers.Timer != nullptr) {
        SetTimer(hwnd, kTimerId, 1000, nullptr);
    }
    return AsOs(hwnd);
}

HWND ControlOf(Window window, int id) {
    return GetDlgItem(H(window), id);
}

COLORREF SystemColour(Colour colour) {
    switch (colour) {
    case Colour::Background:
        return GetSysColor(COLOR_WINDOW);
    case Colour::WindowText:
        return GetSysColor(COLOR_WINDOWTEXT);
    case Colour::GrayText:
        return GetSysColor(COLOR_GRAYTEXT);
    case Colour::Highlight:
        return GetSysColor(COLOR_HIGHLIGHT);
    case Colour::ButtonFace:
        return GetSysColor(COLOR_BTNFACE);
    }
    return GetSysColor(COLOR_WINDOWTEXT);
}

RECT Pixels(const Rect& r) {
    return RECT{Scale(r.X, PaintDpi), Scale(r.Y, PaintDpi), Scale(r.X + r.W, PaintDpi),
                Scale(r.Y + r.H, PaintDpi)};
}

std::string FileTimeText(DWORD unixSeconds) {
    const ULONGLONG ticks = (static_cast<ULONGLONG>(unixSeconds) + 11644473600ULL) * 10000000ULL;
    FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    FILETIME local{};
    SYSTEMTIME st{};
    if (FileTimeToLocalFileTime(&utc, &local) == FALSE ||
        FileTimeToSystemTime(&local, &st) == FALSE) {
        return "?";
    }
    std::array<char, 32> text{};
    wsprintfA(text.data(), "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour,
              st.wMinute, st.wSecond);
    return text.data();
}

} // namespace

bool ClaimSingleInstance(const char* name) {
    const std::string mutexName = std::string("Local\\") + name;
    InstanceMutex = CreateMutexA(nullptr, FALSE, mutexName.c_str());
    if (InstanceMutex != nullptr && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        return true; // held until the process ends
    }
    if (HWND running = FindWindowA(name, nullptr); running != nullptr) {
        DWORD process = 0;
        GetWindowThreadProcessId(running, &process);
        AllowSetForegroundWindow(process); // this instance may, being in front: pass it on
        PostMessageA(running, kShowMessage, 0, 0);
    }
    return false;
}

Window CreateMainWindow(const char* className, const char* title, int width, int height,
                        const Handlers& handlers) {
    return MakeWindow(className, nullptr, title,
                      WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, width, height,
                      handlers);
}

Window CreateDialog(Window owner, const char* title, int width, int height,
                    const Handlers& handlers) {
    return MakeWindow(kDialogClass, H(owner), title, WS_POPUP | WS_CAPTION | WS_SYSMENU, width,
                      height, handlers);
}

void RunDialog(Window dialog) {
    HWND hwnd = H(dialog);
    HWND owner = GetWindow(hwnd, GW_OWNER);
    if (owner != nullptr) {
        RECT o{};
        RECT d{};
        GetWindowRect(owner, &o);
        GetWindowRect(hwnd, &d);
        SetWindowPos(hwnd, nullptr, o.left + 40, o.top + 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        EnableWindow(owner, FALSE);
    }
    Show(dialog);
    MSG msg{};
    while (StateOf(hwnd) != nullptr && !StateOf(hwnd)->Ended) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage(static_cast<int>(msg.wParam)); // for the outer loop
            break;
        }
        if (got == -1) {
            break;
        }
        if (IsDialogMessageA(hwnd, &msg) == FALSE) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    if (owner != nullptr) {
        EnableWindow(owner, TRUE);
        SetForegroundWindow(owner);
    }
    DestroyWindow(hwnd);
}

void EndDialog(Window dialog) {
    if (WindowState* state = StateOf(H(dialog)); state != nullptr) {
        state->Ended = true;
    }
}

bool AddControl(Window window, Control kind, int id, const std::string& text, Rect rect) {
    WindowState* state = StateOf(H(window));
    if (state == nullptr) {
        return false;
    }
    const char* cls = "STATIC";
    DWORD style = WS_CHILD | WS_VISIBLE;
    DWORD exStyle = 0;
    switch (kind) {
    case Control::Label:
        style |= SS_LEFT;
        break;
    case Control::Text:
        style |= SS_LEFT | SS_NOPREFIX;
        break;
    case Control::Button:
        cls = "BUTTON";
        style |= BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP;
        break;
    case Control::DefButton:
        cls = "BUTTON";
        style |= BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP;
        state->DefaultId = id;
        break;
    case Control::Edit:
        cls = "EDIT";
        style |= ES_AUTOHSCROLL | WS_TABSTOP | WS_GROUP;
        exStyle = WS_EX_CLIENTEDGE;
        break;
    case Control::ReadOnly:
        cls = "EDIT";
        style |= ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_TABSTOP | WS_GROUP;
        exStyle = WS_EX_CLIENTEDGE;
        break;
    case Control::List:
        cls = "LISTBOX";
        style |=
            LBS_NOTIFY | LBS_HASSTRINGS | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_TABSTOP | WS_GROUP;
        exStyle = WS_EX_CLIENTEDGE;
        break;
    case Control::Radio: {
        cls = "BUTTON";
        style |= BS_AUTORADIOBUTTON;
        const bool first = state->Controls.empty() || state->Controls.back().Kind != Control::Radio;
        if (first) {
            style |= WS_GROUP | WS_TABSTOP;
        }
        break;
    }
    case Control::Group:
        cls = "BUTTON";
        style |= BS_GROUPBOX;
        break;
    case Control::Canvas:
        style |= SS_OWNERDRAW;
        break;
    }
    HWND hwnd = CreateWindowExA(
        exStyle, cls, text.c_str(), style, Scale(rect.X, state->Dpi), Scale(rect.Y, state->Dpi),
        Scale(rect.W, state->Dpi), Scale(rect.H, state->Dpi), H(window),
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr), nullptr);
    if (hwnd == nullptr) {
        return false;
    }
    SendMessageA(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(state->Font), FALSE);
    state->Controls.push_back({id, hwnd, rect, kind});
    return true;
}

void SetText(Window window, int id, const std::string& text) {
    HWND control = ControlOf(window, id);
    if (control == nullptr || GetText(window, id) == text) {
        return; // unchanged: nothing repainted, nothing scrolled
    }
    const WindowState* state = StateOf(H(window));
    const bool box =
        state != nullptr &&
        std::any_of(state->Controls.begin(), state->Controls.end(), [id](const ControlInfo& c) {
            return c.Id == id && c.Kind == Control::ReadOnly;
        });
    if (!box) {
        SetWindowTextA(control, text.c_str());
        return;
    }
    // A box refreshed every second keeps the lines the reader scrolled to.
    const LRESULT first = SendMessageA(control, EM_GETFIRSTVISIBLELINE, 0, 0);
    SendMessageA(control, WM_SETREDRAW, FALSE, 0);
    SetWindowTextA(control, text.c_str());
    SendMessageA(control, EM_LINESCROLL, 0, first);
    SendMessageA(control, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(control, nullptr, TRUE);
}

std::string GetText(Window window, int id) {
    HWND control = ControlOf(window, id);
    if (control == nullptr) {
        return {};
    }
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(control)) + 1, '\0');
    const int got = GetWindowTextA(control, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(std::max(got, 0)));
    return text;
}

void SetEnabled(Window window, int id, bool enabled) {
    EnableWindow(ControlOf(window, id), enabled ? TRUE : FALSE);
}

void SetChecked(Window window, int id, bool checked) {
    SendMessageA(ControlOf(window, id), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void SetFocus(Window window, int id) {
    ::SetFocus(ControlOf(window, id));
}

void SetTitle(Window window, const std::string& title) {
    SetWindowTextA(H(window), title.c_str());
}

void Redraw(Window window, int id) {
    InvalidateRect(ControlOf(window, id), nullptr, FALSE);
}

void ListReset(Window window, int id, const std::vector<std::string>& items) {
    HWND list = ControlOf(window, id);
    const LRESULT selected = SendMessageA(list, LB_GETCURSEL, 0, 0);
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    for (const std::string& item : items) {
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
    }
    if (selected != LB_ERR && selected < static_cast<LRESULT>(items.size())) {
        SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(selected), 0);
    }
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

int ListSelection(Window window, int id) {
    const LRESULT selected = SendMessageA(ControlOf(window, id), LB_GETCURSEL, 0, 0);
    return selected == LB_ERR ? -1 : static_cast<int>(selected);
}

void ListSelect(Window window, int id, int index) {
    SendMessageA(ControlOf(window, id), LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void Show(Window window) {
    HWND hwnd = H(window);
    ShowWindow(hwnd, IsIconic(hwnd) != FALSE ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(hwnd);
}

void Hide(Window window) {
    ShowWindow(H(window), SW_HIDE);
}

void Destroy(Window window) {
    DestroyWindow(H(window));
}

void Message(Window owner, const std::string& title, const std::string& text, bool warning) {
    MessageBoxA(H(owner), text.c_str(), title.c_str(),
                MB_OK | (warning ? MB_ICONWARNING : MB_ICONINFORMATION));
}

std::string AskSavePath(Window owner, const std::string& suggestedName) {
    std::array<char, MAX_PATH> path{};
    lstrcpynA(path.data(), suggestedName.c_str(), static_cast<int>(path.size()));
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = H(owner);
    ofn.lpstrFilter = "Text files (*.txt)\0*.txt\0All files\0*.*\0";
    ofn.lpstrFile = path.data();
    ofn.nMaxFile = static_cast<DWORD>(path.size());
    ofn.lpstrDefExt = "txt";
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    return GetSaveFileNameA(&ofn) != FALSE ? std::string(path.data()) : std::string();
}

int RunLoop() {
    MSG msg{};
    BOOL got = 0;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) != 0 && got != -1) {
        HWND root = msg.hwnd != nullptr ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
        if (root != nullptr && StateOf(root) != nullptr && IsDialogMessageA(root, &msg) != FALSE) {
            continue; // Tab, mnemonics, Enter and Esc
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}

void Quit() {
    PostQuitMessage(0);
}

Rect CanvasSize(Window window, int canvasId) {
    if (const WindowState* state = StateOf(H(window)); state != nullptr) {
        for (const ControlInfo& c : state->Controls) {
            if (c.Id == canvasId) {
                return Rect{0, 0, c.Place.W, c.Place.H};
            }
        }
    }
    return {};
}

void DrawFill(const Rect& rect, Colour colour) {
    if (PaintDc == nullptr) {
        return;
    }
    const RECT r = Pixels(rect);
    HBRUSH brush = CreateSolidBrush(SystemColour(colour));
    FillRect(PaintDc, &r, brush);
    DeleteObject(brush);
}

void DrawHatch(const Rect& rect, Colour colour) {
    if (PaintDc == nullptr) {
        return;
    }
    const RECT r = Pixels(rect);
    HBRUSH brush = CreateHatchBrush(HS_BDIAGONAL, SystemColour(colour));
    const int oldMode = SetBkMode(PaintDc, TRANSPARENT);
    FillRect(PaintDc, &r, brush);
    SetBkMode(PaintDc, oldMode);
    DeleteObject(brush);
}

void DrawLine(int x1, int y1, int x2, int y2, Colour colour) {
    if (PaintDc == nullptr) {
        return;
    }
    HPEN pen = CreatePen(PS_SOLID, std::max(1, Scale(1, PaintDpi)), SystemColour(colour));
    HGDIOBJ old = SelectObject(PaintDc, pen);
    MoveToEx(PaintDc, Scale(x1, PaintDpi), Scale(y1, PaintDpi), nullptr);
    LineTo(PaintDc, Scale(x2, PaintDpi), Scale(y2, PaintDpi));
    SelectObject(PaintDc, old);
    DeleteObject(pen);
}

void DrawText(int x, int y, const std::string& text, Colour colour, bool alignRight) {
    if (PaintDc == nullptr) {
        return;
    }
    SetTextColor(PaintDc, SystemColour(colour));
    SetBkMode(PaintDc, TRANSPARENT);
    const UINT oldAlign = SetTextAlign(PaintDc, (alignRight ? TA_RIGHT : TA_LEFT) | TA_TOP);
    TextOutA(PaintDc, Scale(x, PaintDpi), Scale(y, PaintDpi), text.c_str(),
             static_cast<int>(text.size()));
    SetTextAlign(PaintDc, oldAlign);
}

int TrayIconSize() {
    const int size = GetSystemMetrics(SM_CXSMICON);
    return size > 0 ? size : 16;
}

bool TraySet(Window window, const std::vector<std::uint32_t>& pixels, int size,
             const std::string& tooltip) {
    WindowState* state = StateOf(H(window));
    if (state == nullptr || size <= 0 ||
        pixels.size() != static_cast<std::size_t>(size) * static_cast<std::size_t>(size)) {
        return false;
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = size;
    info.bmiHeader.biHeight = -size; // rows top down, as the pixels come
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP colour = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (colour == nullptr || bits == nullptr) {
        return false;
    }
    // 0xAARRGGBB in memory is B, G, R, A: the DIB's own order.
    std::memcpy(bits, pixels.data(), pixels.size() * sizeof(std::uint32_t));
    const std::vector<std::uint8_t> zeros(static_cast<std::size_t>((size + 15) / 16 * 2) * size, 0);
    HBITMAP mask = CreateBitmap(size, size, 1, 1, zeros.data());
    ICONINFO iconInfo{};
    iconInfo.fIcon = TRUE;
    iconInfo.hbmMask = mask;
    iconInfo.hbmColor = colour;
    HICON icon = CreateIconIndirect(&iconInfo);
    DeleteObject(mask);
    DeleteObject(colour);
    if (icon == nullptr) {
        return false;
    }
    HICON previous = state->TrayIcon;
    state->TrayIcon = icon;
    state->TrayTip = tooltip;
    const bool shown = TrayShow(H(window), *state);
    SendMessageA(H(window), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    if (previous != nullptr) {
        DestroyIcon(previous);
    }
    return shown;
}

bool TrayNotify(Window window, const std::string& title, const std::string& text, bool warning) {
    WindowState* state = StateOf(H(window));
    if (state == nullptr || !state->TrayAdded) {
        return false;
    }
    return TrayCall(H(window), *state, NIM_MODIFY, NIF_INFO, title.c_str(), text.c_str(),
                    warning ? NIIF_WARNING : NIIF_INFO);
}

void TrayRemove(Window window) {
    if (WindowState* state = StateOf(H(window)); state != nullptr && state->TrayAdded) {
        TrayCall(H(window), *state, NIM_DELETE, 0, nullptr, nullptr, 0);
        state->TrayAdded = false;
    }
}

int PopupMenu(Window window, const std::vector<std::pair<int, std::string>>& items) {
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) {
        return 0;
    }
    for (const auto& [id, text] : items) {
        AppendMenuA(menu, id == 0 ? MF_SEPARATOR : MF_STRING, static_cast<UINT_PTR>(id),
                    text.c_str());
    }
    POINT at{};
    GetCursorPos(&at);
    // Without this the menu stays open when the user clicks elsewhere.
    SetForegroundWindow(H(window));
    const BOOL chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x,
                                       at.y, 0, H(window), nullptr);
    PostMessageA(H(window), WM_NULL, 0, 0);
    DestroyMenu(menu);
    return static_cast<int>(chosen);
}

bool IsElevated() {
    HANDLE token = nullptr;
    if (::OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == FALSE) {
        return false;
    }
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const BOOL ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    return ok != FALSE && elevation.TokenIsElevated != 0;
}

std::string ProgramFolder() {
    std::array<char, MAX_PATH> path{};
    const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) {
        return {};
    }
    std::string folder(path.data(), n);
    const std::size_t slash = folder.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
}

Started StartProgram(const std::string& exe, const std::string& arguments, bool elevate,
                     const std::string& outputPath) {
    Started started;
    if (elevate) {
        SHELLEXECUTEINFOA info{};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
        info.lpVerb = "runas";
        info.lpFile = exe.c_str();
        info.lpParameters = arguments.c_str();
        info.nShow = SW_HIDE;
        if (ShellExecuteExA(&info) == FALSE || info.hProcess == nullptr) {
            started.Error = ::GetLastError();
            return started;
        }
        started.Process = AsOs(info.hProcess);
        return started;
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE output = INVALID_HANDLE_VALUE;
    if (!outputPath.empty()) {
        output = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output == INVALID_HANDLE_VALUE) {
            started.Error = ::GetLastError();
            return started;
        }
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (output != INVALID_HANDLE_VALUE) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output;
        startup.hStdError = output;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    std::string commandLine = "\"" + exe + "\" " + arguments;
    PROCESS_INFORMATION process{};
    const BOOL ok = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr,
                                   output != INVALID_HANDLE_VALUE ? TRUE : FALSE, CREATE_NO_WINDOW,
                                   nullptr, nullptr, &startup, &process);
    started.Error = ok != FALSE ? 0 : ::GetLastError();
    if (output != INVALID_HANDLE_VALUE) {
        CloseHandle(output);
    }
    if (ok != FALSE) {
        CloseHandle(process.hThread);
        started.Process = AsOs(process.hProcess);
    }
    return started;
}

bool PollProgram(Started& started, std::uint32_t& exitCode) {
    if (started.Process == 0) {
        return true;
    }
    HANDLE process = AsWin<HANDLE>(started.Process);
    if (::WaitForSingleObject(process, 0) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD code = 0;
    exitCode = GetExitCodeProcess(process, &code) != FALSE ? code : 0xFFFFFFFFu;
    CloseHandle(process);
    started.Process = 0;
    return true;
}

std::string TempFilePath(const char* prefix) {
    static unsigned counter = 0;
    std::array<char, MAX_PATH> folder{};
    const DWORD n = GetTempPathA(static_cast<DWORD>(folder.size()), folder.data());
    std::string path = n > 0 && n < folder.size() ? std::string(folder.data(), n) : std::string();
    return path + prefix + "-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(++counter) + ".txt";
}

bool ReadLogEntries(const char* source, std::size_t most, std::vector<LogEntry>& entries) {
    entries.clear();
    HANDLE log = OpenEventLogA(nullptr, "Application");
    if (log == nullptr) {
        return false;
    }
    std::vector<std::uint8_t> buffer(64 * 1024);
    bool ok = true;
    while (entries.size() < most) {
        DWORD read = 0;
        DWORD needed = 0;
        if (ReadEventLogA(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, buffer.data(),
                          static_cast<DWORD>(buffer.size()), &read, &needed) == FALSE) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_INSUFFICIENT_BUFFER && needed > buffer.size()) {
                buffer.resize(needed);
                continue;
            }
            ok = error == ERROR_HANDLE_EOF;
            break;
        }
        for (DWORD at = 0; at + sizeof(EVENTLOGRECORD) <= read && entries.size() < most;) {
            EVENTLOGRECORD record{};
            std::memcpy(&record, buffer.data() + at, sizeof record);
            if (record.Length == 0 || at + record.Length > read) {
                break;
            }
            const char* base = reinterpret_cast<const char*>(buffer.data() + at);
            const char* recordSource = base + sizeof(EVENTLOGRECORD);
            if (lstrcmpiA(recordSource, source) == 0) {
                LogEntry entry;
                entry.When = FileTimeText(record.TimeGenerated);
                entry.Type = record.EventType == EVENTLOG_ERROR_TYPE     ? "Error"
                             : record.EventType == EVENTLOG_WARNING_TYPE ? "Warning"
                                                                         : "Information";
                const char* text = base + record.StringOffset;
                const char* end = base + record.Length;
                for (WORD i = 0; i < record.NumStrings && text < end; ++i) {
                    const std::size_t length = strnlen(text, static_cast<std::size_t>(end - text));
                    if (!entry.Text.empty()) {
                        entry.Text += " ";
                    }
                    entry.Text.append(text, length);
                    text += length + 1;
                }
                entries.push_back(std::move(entry));
            }
            at += record.Length;
        }
    }
    CloseEventLog(log);
    return ok;
}

} // namespace plat::ui
