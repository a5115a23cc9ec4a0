// The desktop side of the platform seam, for the tray monitor: one main window with plain
// controls, a tray icon, a modal dialog, drawing in system colours, and starting programs
// (elevated when asked). Only the Win32 side implements it; the emulated platform has no
// desktop, and the monitor's decisions are tested without one.
//
// Positions and sizes are in 96-DPI units; the Win32 side scales them to the window's monitor
// and lays the controls out again when the window moves to a monitor of another DPI.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat::ui {

using Window = std::intptr_t; // 0: none

struct Rect {
    int X = 0;
    int Y = 0;
    int W = 0;
    int H = 0;
};

enum class Control : std::uint8_t {
    Label,     // static text; a "&" before a letter gives the next control its mnemonic
    Text,      // static text that holds a value (read by people and probes alike)
    Button,    // push button
    DefButton, // the default push button (Enter)
    Edit,      // one-line edit
    ReadOnly,  // multi-line read-only edit with a scroll bar, for long text
    List,      // list box with single selection
    Radio,     // radio button; the first of a group starts the group
    Group,     // group box frame
    Canvas,    // owner-drawn area, painted by the window's Paint handler
};

// What the program reacts to; every function may be null.
struct Handlers {
    void* Context = nullptr;
    void (*Command)(void* context, int id) = nullptr;     // a button, or a list's selection
    void (*Timer)(void* context) = nullptr;               // once a second
    void (*TrayOpen)(void* context) = nullptr;            // double-click on the tray icon
    void (*TrayMenu)(void* context) = nullptr;            // right-click on the tray icon
    void (*Paint)(void* context, int canvasId) = nullptr; // draw with the Draw... calls below
    void (*Close)(void* context) = nullptr;               // the close box: hide or end
};

// --- the program's one instance ----------------------------------------------------------------

// True when this is the first instance in the session; otherwise the running instance's window
// (found by its class) is asked to show itself, and the caller should end.
bool ClaimSingleInstance(const char* name);

// --- windows and controls ----------------------------------------------------------------------

// A top-level window (hidden until shown), with a timer of one second when handlers has one.
Window CreateMainWindow(const char* className, const char* title, int width, int height,
                        const Handlers& handlers);
// A modal dialog owned by a window; Run returns when it is closed (EndDialog).
Window CreateDialog(Window owner, const char* title, int width, int height,
                    const Handlers& handlers);
void RunDialog(Window dialog);
void EndDialog(Window dialog);

// Controls get the tab order in which they are added.
bool AddControl(Window window, Control kind, int id, const std::string& text, Rect rect);
void SetText(Window window, int id, const std::string& text);
std::string GetText(Window window, int id);
void SetEnabled(Window window, int id, bool enabled);
void SetChecked(Window window, int id, bool checked);
void SetFocus(Window window, int id);
void SetTitle(Window window, const std::string& title);
void Redraw(Window window, int id);

void ListReset(Window window, int id, const std::vector<std::string>& items);
int ListSelection(Window window, int id); // -1: none
void ListSelect(Window window, int id, int index);

void Show(Window window); // shows, restores and brings to the front
void Hide(Window window);
void Destroy(Window window);
void Message(Window owner, const std::string& title, const std::string& text, bool warning);
// Asks for a file to save to; empty when the user cancelled.
std::string AskSavePath(Window owner, const std::string& suggestedName);

// The message loop, until Quit.
int RunLoop();
void Quit();

// --- drawing, inside Paint ---------------------------------------------------------------------

// System colours only, so that a high-contrast scheme reads as well as the normal one.
enum class Colour : std::uint8_t { Background, WindowText, GrayText, Highlight, ButtonFace };

// The canvas' size in 96-DPI units.
Rect CanvasSize(Window window, int canvasId);
void DrawFill(const Rect& rect, Colour colour);
void DrawHatch(const Rect& rect, Colour colour); // diagonal hatching: reads without colour
void DrawLine(int x1, int y1, int x2, int y2, Colour colour);
void DrawText(int x, int y, const std::string& text, Colour colour, bool alignRight);

// --- the tray ----------------------------------------------------------------------------------

// The icon's side in pixels at the tray's DPI.
int TrayIconSize();
// pixels: size x size, rows top down, 0xAARRGGBB straight alpha. Adds the icon at the first
// call and changes it at later ones (and again after the taskbar is recreated).
bool TraySet(Window window, const std::vector<std::uint32_t>& pixels, int size,
             const std::string& tooltip);
bool TrayNotify(Window window, const std::string& title, const std::string& text, bool warning);
void TrayRemove(Window window);
// A popup menu at the pointer; the chosen item's id, 0 when none.
int PopupMenu(Window window, const std::vector<std::pair<int, std::string>>& items);

// --- rights and other programs -----------------------------------------------------------------

// True when the process runs with an administrator's full token.
bool IsElevated();
// The folder of the running executable, with a trailing backslash.
std::string ProgramFolder();

// A program started and not waited for; Poll tells when it has ended.
struct Started {
    std::intptr_t Process = 0; // 0: it did not start
    std::uint32_t Error = 0;   // why not (1223: the user declined the elevation prompt)
};
// elevate: through the elevation prompt ("runas"), output not captured. Otherwise the program
// runs without a window and its standard output and error go to outputPath (when not empty).
Started StartProgram(const std::string& exe, const std::string& arguments, bool elevate,
                     const std::string& outputPath);
// True when it has ended, with its exit code; the handle is closed then.
bool PollProgram(Started& started, std::uint32_t& exitCode);
// A file name for captured output in the user's temporary folder.
std::string TempFilePath(const char* prefix);

// --- the event log -------------------------------------------------------------------------------

struct LogEntry {
    std::string When; // local time, "2026-12-07 14:03:07"
    std::string Type; // "Error", "Warning", "Information"
    std::string Text; // the entry's strings
};
// The newest entries of one source in the Application log, newest first; false when the log
// cannot be read.
bool ReadLogEntries(const char* source, std::size_t most, std::vector<LogEntry>& entries);

} // namespace plat::ui
