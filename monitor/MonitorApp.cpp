// chronelmon.exe: the service's state in the tray, its status, history and event log in a
// window, and its settings in a dialog. It looks with no rights; what writes is done directly
// when the monitor runs elevated, else by chronelctl started through the elevation prompt.
#include "monitor/MonitorApp.h"

#include "ctl/Ctl.h"
#include "engine/EventLog.h"
#include "engine/Settings.h"
#include "history/HistoryReader.h"
#include "monitor/MonitorModel.h"
#include "platform/Platform.h"
#include "platform/PlatformUi.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace mon {
namespace {

namespace ui = plat::ui;

constexpr const char* kClassName = "ChronelMonitor";
constexpr const char* kTitle = "Chronel Monitor";

// Main window.
enum : int {
    kStateText = 100,
    kDiffText,
    kStatusLabel,
    kStatusBox,
    kSyncButton = 110,
    kSettingsButton,
    kServiceButton,
    kReportButton,
    kOutcomeText,
    kSpanGroup = 120,
    kSpanHour,
    kSpanDay,
    kSpanWeek,
    kChart = 130,
    kEventsLabel = 140,
    kEventsList,
    kMenuOpen = 201,
    kMenuSync,
    kMenuExit,
};

// Settings dialog.
enum : int {
    kSetLabel = 300,
    kSetList,
    kSetName,
    kSetMeaning,
    kSetCurrentLabel,
    kSetCurrent,
    kSetValueLabel,
    kSetEdit,
    kSetWhy,
    kSetApply = 310,
    kSetReset,
    kSetClose,
};

constexpr int kChartWidth = 624;
constexpr int kChartHeight = 190;
constexpr int kPlotLeft = 60;
constexpr int kPlotTop = 8;
constexpr int kPlotRight = 10;
constexpr int kPlotBottom = 20;

struct Pending {
    ui::Started Process;
    Action What = Action::Sync;
    bool ForDialog = false;
};

// Module state: one monitor per process.
struct Monitor {
    ui::Window Main = 0;
    ui::Window Settings = 0;
    bool Visible = false;
    bool Elevated = false;
    std::optional<TrayState> IconState;
    std::string Tip;
    NoticeRule Notices;
    Observation Last;
    Span ChartSpan = Span::Hour;
    std::vector<ChartRow> Rows;
    bool HistoryFolderFound = false;
    std::string HistoryFolder;
    std::uint64_t RowsReadTick = 0;
    std::uint64_t EventsReadTick = 0;
    std::optional<Pending> Running;
    const SettingRow* Selected = nullptr;
};
Monitor App;

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text;
}

std::string CtlPath() {
    return ui::ProgramFolder() + "chronelctl.exe";
}

std::string SettingsKey() {
    return std::string(kSettingsKeyPath).substr(1);
}

std::string SystemText(long code) {
    return plat::SystemMessageLine(static_cast<std::uint32_t>(code));
}

void SayOutcome(const std::string& text, bool forDialog) {
    if (forDialog && App.Settings != 0) {
        ui::SetText(App.Settings, kSetWhy, text);
    }
    ui::SetText(App.Main, kOutcomeText, text);
}

// Runs chronelctl (or another program) through the elevation prompt; the outcome comes when it
// has ended, at a later tick.
void RunElevated(Action action, const std::string& exe, const std::string& arguments,
                 bool forDialog) {
    if (App.Running) {
        SayOutcome("An earlier action is still running; try again when it has ended.", forDialog);
        return;
    }
    Pending pending;
    pending.What = action;
    pending.ForDialog = forDialog;
    pending.Process = ui::StartProgram(exe, arguments, true, "");
    if (pending.Process.Process == 0) {
        SayOutcome(OutcomeText(action, false, pending.Process.Error, 0), forDialog);
        return;
    }
    SayOutcome("Waiting for the administrator's program to end...", forDialog);
    App.Running = pending;
}

// --- the state ---------------------------------------------------------------------------------

struct Reading {
    ctl::ServiceFacts Service;
    ctl::StatusValues Values;
    ctl::LockFacts Lock;
};

Reading Read() {
    Reading r;
    r.Service = ctl::QueryService(kServiceName);
    r.Values = ctl::ReadStatusValues();
    r.Lock = ctl::DeriveLock(r.Values, ctl::NowUnixMs());
    return r;
}

void ShowState(const Reading& r, const Observation& observation) {
    if (!App.IconState || *App.IconState != observation.State || App.Tip != Tooltip(observation)) {
        const int size = ui::TrayIconSize();
        App.Tip = Tooltip(observation);
        if (ui::TraySet(App.Main, IconPixels(observation.State, size), size, App.Tip)) {
            App.IconState = observation.State;
        }
    }
    if (!App.Visible) {
        return;
    }
    ui::SetText(App.Main, kStateText, "State: " + observation.Name);
    ui::SetText(App.Main, kDiffText, observation.Difference);
    const int code = ctl::StatusExit(r.Service, r.Values, r.Lock);
    ui::SetText(App.Main, kStatusBox, Join(ctl::StatusScreen(code, r.Service, r.Values, r.Lock)));
    const bool installed = r.Service.State != ctl::ServiceState::NotInstalled &&
                           r.Service.State != ctl::ServiceState::Unreadable;
    ui::SetEnabled(App.Main, kServiceButton, installed);
    ui::SetText(App.Main, kServiceButton,
                r.Service.State == ctl::ServiceState::Stopped || !installed ? "St&art service"
                                                                            : "St&op service");
    ui::SetEnabled(App.Main, kSyncButton, r.Service.State == ctl::ServiceState::Running);
}

void ReadRows() {
    App.HistoryFolder = history::HistoryFolder();
    const std::int64_t now = ctl::NowUnixMs() / 1000;
    const history::ReadResult result =
        history::ReadHistory(App.HistoryFolder, now - SpanMs(App.ChartSpan) / 1000 - 60, now + 60);
    App.Rows = ChartRowsFrom(result.Rows);
    App.HistoryFolderFound = result.FolderFound;
    App.RowsReadTick = plat::GetTickCount64();
    ui::Redraw(App.Main, kChart);
}

void ReadEvents() {
    App.EventsReadTick = plat::GetTickCount64();
    std::vector<ui::LogEntry> entries;
    std::vector<std::string> items;
    if (!ui::ReadLogEntries(kServiceName, 50, entries)) {
        items.emplace_back("The Application event log cannot be read here.");
    } else if (entries.empty()) {
        items.push_back(std::string("No entries of ") + kServiceName + " in the Application log.");
    }
    for (const ui::LogEntry& entry : entries) {
        items.push_back(entry.When + "  " + entry.Type + "  " + entry.Text);
    }
    ui::ListReset(App.Main, kEventsList, items);
}

void FinishPending() {
    if (!App.Running) {
        return;
    }
    std::uint32_t exitCode = 0;
    if (!ui::PollProgram(App.Running->Process, exitCode)) {
        return;
    }
    const Pending done = *App.Running;
    App.Running.reset();
    SayOutcome(OutcomeText(done.What, true, 0, exitCode), done.ForDialog);
    if (done.ForDialog && App.Selected != nullptr && App.Settings != 0) {
        ui::SetText(App.Settings, kSetCurrent, ctl::CurrentSettingText(*App.Selected));
    }
}

void Tick(void*) {
    const Reading r = Read();
    const Observation observation = Observe(r.Service, r.Values, r.Lock);
    App.Last = observation;
    ShowState(r, observation);
    if (const std::optional<Notice> notice = App.Notices.Next(observation)) {
        ui::TrayNotify(App.Main, notice->Title, notice->Text, !notice->Recovery);
    }
    FinishPending();
    const std::uint64_t now = plat::GetTickCount64();
    if (App.Visible && now - App.RowsReadTick >= 60000) {
        ReadRows();
    }
    if (App.Visible && now - App.EventsReadTick >= 10000) {
        ReadEvents();
    }
}

// --- the chart ---------------------------------------------------------------------------------

void PaintChart(void*, int canvasId) {
    if (canvasId != kChart) {
        return;
    }
    const ui::Rect area = ui::CanvasSize(App.Main, kChart);
    ui::DrawFill(area, ui::Colour::Background);
    const int width = area.W - kPlotLeft - kPlotRight;
    const int height = area.H - kPlotTop - kPlotBottom;
    const ChartLayout layout =
        LayoutChart(App.Rows, ctl::NowUnixMs(), App.ChartSpan, width, height);
    const auto x = [](int column) { return kPlotLeft + column; };
    const auto y = [](int row) { return kPlotTop + row; };
    // A minute spans several columns on the hour's chart: its marks are drawn that wide.
    const int minuteColumns = std::max(
        1, static_cast<int>((static_cast<std::int64_t>(width) * 60000 + SpanMs(App.ChartSpan) - 1) /
                            SpanMs(App.ChartSpan)));
    std::vector<bool> outage(layout.Columns.size(), false);
    for (std::size_t i = 0; i < layout.Columns.size(); ++i) {
        if (layout.Columns[i].Outage) {
            for (std::size_t j = i; j < std::min(outage.size(), i + minuteColumns); ++j) {
                outage[j] = true;
            }
        }
    }
    // Outages as hatched runs: hatching reads in any colour scheme and without colour.
    for (std::size_t i = 0; i < outage.size();) {
        if (!outage[i]) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < outage.size() && outage[end]) {
            ++end;
        }
        ui::DrawHatch({x(static_cast<int>(i)), y(0), static_cast<int>(end - i), height},
                      ui::Colour::GrayText);
        i = end;
    }
    for (const ChartTick& tick : layout.YTicks) {
        ui::DrawLine(x(-4), y(tick.Pos), x(0), y(tick.Pos), ui::Colour::WindowText);
        ui::DrawText(x(-6), y(tick.Pos) - 7, tick.Label, ui::Colour::WindowText, true);
    }
    for (const ChartTick& tick : layout.XTicks) {
        ui::DrawLine(x(tick.Pos), y(height), x(tick.Pos), y(height + 4), ui::Colour::WindowText);
        ui::DrawText(x(tick.Pos) - (tick.Pos >= width ? 24 : 12), y(height + 5), tick.Label,
                     ui::Colour::WindowText, false);
    }
    if (!layout.Empty) {
        ui::DrawLine(x(0), y(layout.YZero), x(width), y(layout.YZero), ui::Colour::GrayText);
    }
    // The band from each minute's lowest to highest reading, and a line through the means that
    // breaks at an outage.
    std::optional<std::pair<std::size_t, int>> previous;
    for (std::size_t i = 0; i < layout.Columns.size(); ++i) {
        const ChartColumn& column = layout.Columns[i];
        if (outage[i]) {
            previous.reset();
        }
        if (!column.HasData) {
            continue;
        }
        const int bandWidth = std::min(minuteColumns, static_cast<int>(layout.Columns.size() - i));
        ui::DrawFill(
            {x(static_cast<int>(i)), y(column.YTop), bandWidth, column.YBottom - column.YTop + 1},
            ui::Colour::Highlight);
        if (previous && i - previous->first <= static_cast<std::size_t>(minuteColumns) + 1) {
            const int half = minuteColumns / 2; // from the middle of one minute to the next
            ui::DrawLine(x(static_cast<int>(previous->first)) + half, previous->second,
                         x(static_cast<int>(i)) + half, y(column.YMean), ui::Colour::WindowText);
        }
        previous = std::make_pair(i, y(column.YMean));
    }
    ui::DrawLine(x(0), y(0), x(0), y(height), ui::Colour::WindowText);
    ui::DrawLine(x(0), y(height), x(width), y(height), ui::Colour::WindowText);
    if (layout.Empty) {
        const std::string note =
            !App.HistoryFolderFound ? "No history: " +
                                          (App.HistoryFolder.empty() ? std::string("no data folder")
                                                                     : App.HistoryFolder) +
                                          " not found"
                                    : std::string("No readings in this span");
        ui::DrawText(x(12), y(height / 2 - 8), note, ui::Colour::WindowText, false);
    }
}

// --- the settings dialog -----------------------------------------------------------------------

// The value to put into the field: what is stored, or the default.
std::string FieldValue(const SettingRow& row) {
    std::string text = ctl::CurrentSettingText(row);
    if (text.find(" (") != std::string::npos) {
        return row.Type == SettingType::String ? std::string() : std::string(row.DefaultText);
    }
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
    }
    return text;
}

void SelectSetting(int index) {
    if (index < 0 || index >= static_cast<int>(kSettingsTable.size())) {
        return;
    }
    const SettingRow& row = kSettingsTable[static_cast<std::size_t>(index)];
    App.Selected = &row;
    ui::SetText(App.Settings, kSetName, row.Name);
    ui::SetText(App.Settings, kSetMeaning, DescribeSetting(row));
    ui::SetText(App.Settings, kSetCurrent, ctl::CurrentSettingText(row));
    ui::SetText(App.Settings, kSetEdit, FieldValue(row));
    ui::SetText(App.Settings, kSetWhy, "");
}

void CheckTyped() {
    if (App.Selected == nullptr) {
        return;
    }
    const FieldCheck check = CheckField(*App.Selected, ui::GetText(App.Settings, kSetEdit));
    ui::SetEnabled(App.Settings, kSetApply, check.MayApply);
    ui::SetText(App.Settings, kSetWhy, check.MayApply ? std::string() : check.Why + ".");
}

void ApplySetting() {
    if (App.Selected == nullptr) {
        return;
    }
    const SettingRow& row = *App.Selected;
    const std::string typed = ui::GetText(App.Settings, kSetEdit);
    const ctl::SetDecision decision = ctl::DecideSet(row.Name, typed);
    if (decision.Row == nullptr) {
        ui::SetText(App.Settings, kSetWhy, decision.Why + ". Nothing written.");
        return;
    }
    if (!App.Elevated) {
        RunElevated(Action::Set, CtlPath(),
                    std::string("set ") + row.Name + " " + QuoteArgument(typed), true);
        return;
    }
    plat::RegKey key;
    long error = plat::RegCreateKey(SettingsKey(), key);
    if (error == plat::kRegErrorSuccess) {
        error = row.Type == SettingType::String
                    ? plat::RegSetValue(key, row.Name, plat::RegType::Sz, typed.c_str(),
                                        typed.size() + 1)
                    : plat::RegSetValue(key, row.Name, plat::RegType::Dword, &decision.Dword,
                                        sizeof decision.Dword);
    }
    ui::SetText(App.Settings, kSetWhy,
                error == plat::kRegErrorSuccess
                    ? std::string(row.Name) + " written; the service applies it at its next reload."
                    : std::string("Not written: ") + SystemText(error));
    ui::SetText(App.Settings, kSetCurrent, ctl::CurrentSettingText(row));
}

void ResetSetting() {
    if (App.Selected == nullptr) {
        return;
    }
    const SettingRow& row = *App.Selected;
    if (!App.Elevated) {
        RunElevated(Action::Reset, CtlPath(), std::string("reset ") + row.Name, true);
        return;
    }
    plat::RegKey key;
    long error = plat::RegOpenKey(SettingsKey(), plat::kKeyAllAccess, key);
    if (error == plat::kRegErrorSuccess) {
        error = plat::RegDeleteValue(key, row.Name);
    }
    ui::SetText(App.Settings, kSetWhy,
                error == plat::kRegErrorSuccess || error == plat::kRegErrorFileNotFound
                    ? std::string(row.Name) + " reset; the default " + row.DefaultText + " applies."
                    : std::string("Not reset: ") + SystemText(error));
    ui::SetText(App.Settings, kSetCurrent, ctl::CurrentSettingText(row));
    ui::SetText(App.Settings, kSetEdit, FieldValue(row));
}

void SettingsCommand(void*, int id) {
    switch (id) {
    case kSetList:
        SelectSetting(ui::ListSelection(App.Settings, kSetList));
        break;
    case kSetEdit:
        CheckTyped();
        break;
    case kSetApply:
        ApplySetting();
        break;
    case kSetReset:
        ResetSetting();
        break;
    case kSetClose:
        ui::EndDialog(App.Settings);
        break;
    default:
        break;
    }
}

void SettingsClose(void*) {
    ui::EndDialog(App.Settings);
}

void OpenSettings() {
    if (App.Settings != 0) {
        return;
    }
    ui::Handlers on;
    on.Command = SettingsCommand;
    on.Close = SettingsClose;
    App.Settings = ui::CreateDialog(App.Main, "Chronel settings", 560, 330, on);
    if (App.Settings == 0) {
        return;
    }
    const ui::Window d = App.Settings;
    ui::AddControl(d, ui::Control::Label, kSetLabel, "&Setting:", {8, 8, 150, 16});
    ui::AddControl(d, ui::Control::List, kSetList, "", {8, 26, 150, 296});
    ui::AddControl(d, ui::Control::Text, kSetName, "", {170, 8, 380, 16});
    ui::AddControl(d, ui::Control::Text, kSetMeaning, "", {170, 28, 380, 70});
    ui::AddControl(d, ui::Control::Label, kSetCurrentLabel, "Current value:", {170, 104, 90, 16});
    ui::AddControl(d, ui::Control::Text, kSetCurrent, "", {262, 104, 288, 32});
    ui::AddControl(d, ui::Control::Label, kSetValueLabel, "&Value:", {170, 142, 90, 16});
    ui::AddControl(d, ui::Control::Edit, kSetEdit, "", {262, 139, 288, 22});
    ui::AddControl(d, ui::Control::Text, kSetWhy, "", {170, 168, 380, 60});
    ui::AddControl(d, ui::Control::DefButton, kSetApply, "&Apply", {170, 236, 110, 26});
    ui::AddControl(d, ui::Control::Button, kSetReset, "Reset to &default", {290, 236, 130, 26});
    ui::AddControl(d, ui::Control::Button, kSetClose, "&Close", {440, 236, 110, 26});
    std::vector<std::string> names;
    for (const SettingRow& row : kSettingsTable) {
        names.emplace_back(row.Name);
    }
    ui::ListReset(d, kSetList, names);
    ui::ListSelect(d, kSetList, 0);
    SelectSetting(0);
    ui::SetFocus(d, kSetList);
    ui::RunDialog(d);
    App.Settings = 0;
    App.Selected = nullptr;
}

// --- the main window ---------------------------------------------------------------------------

void OpenMain() {
    App.Visible = true;
    App.RowsReadTick = 0;
    App.EventsReadTick = 0;
    Tick(nullptr);
    ui::Show(App.Main);
}

void SyncNow() {
    if (!App.Elevated) {
        RunElevated(Action::Sync, CtlPath(), "sync", false);
        return;
    }
    if (ctl::QueryService(kServiceName).State != ctl::ServiceState::Running) {
        SayOutcome("Sync now: the service is not running; no hard set requested.", false);
        return;
    }
    plat::RegKey key;
    long error = plat::RegCreateKey(SettingsKey(), key);
    static const std::string kRequest = "chronelmon";
    if (error == plat::kRegErrorSuccess) {
        error = plat::RegSetValue(key, "Sync", plat::RegType::Sz, kRequest.c_str(),
                                  kRequest.size() + 1);
    }
    SayOutcome(error == plat::kRegErrorSuccess
                   ? "Sync now: hard set requested; the status shows the service's answer."
                   : "Sync now: not requested: " + SystemText(error),
               false);
}

void ToggleService() {
    const ctl::ServiceFacts facts = ctl::QueryService(kServiceName);
    const bool start = facts.State == ctl::ServiceState::Stopped;
    const Action action = start ? Action::StartService : Action::StopService;
    if (!App.Elevated) {
        RunElevated(action, "sc.exe", std::string(start ? "start " : "stop ") + kServiceName,
                    false);
        return;
    }
    constexpr std::uint32_t kServiceStart = 0x0010;
    constexpr std::uint32_t kServiceStop = 0x0020;
    const plat::ServiceHandle scm(plat::OpenSCManager(plat::kScManagerConnect));
    const plat::ServiceHandle service(
        scm.valid() ? plat::OpenService(scm.get(), kServiceName,
                                        kServiceStart | kServiceStop | plat::kServiceQueryStatus)
                    : 0);
    bool ok = false;
    if (service.valid()) {
        plat::ServiceStatusRecord status;
        ok = start ? plat::StartService(service.get())
                   : plat::ControlService(service.get(), plat::kServiceControlStop, status);
    }
    SayOutcome(ok ? OutcomeText(action, true, 0, 0)
                  : OutcomeText(action, false, plat::GetLastError(), 0),
               false);
}

void SaveReport() {
    const std::string path = ui::AskSavePath(App.Main, "chronel-report.txt");
    if (path.empty()) {
        return;
    }
    if (App.Running) {
        SayOutcome("An earlier action is still running; try again when it has ended.", false);
        return;
    }
    Pending pending;
    pending.What = Action::Report;
    pending.Process = ui::StartProgram(CtlPath(), "report", false, path);
    if (pending.Process.Process == 0) {
        SayOutcome(OutcomeText(Action::Report, false, pending.Process.Error, 0), false);
        return;
    }
    App.Running = pending;
}

void SetSpan(Span span) {
    App.ChartSpan = span;
    ui::SetChecked(App.Main, kSpanHour, span == Span::Hour);
    ui::SetChecked(App.Main, kSpanDay, span == Span::Day);
    ui::SetChecked(App.Main, kSpanWeek, span == Span::Week);
    ReadRows();
}

void MainCommand(void*, int id) {
    switch (id) {
    case kSyncButton:
    case kMenuSync:
        SyncNow();
        break;
    case kSettingsButton:
        OpenSettings();
        break;
    case kServiceButton:
        ToggleService();
        break;
    case kReportButton:
        SaveReport();
        break;
    case kSpanHour:
        SetSpan(Span::Hour);
        break;
    case kSpanDay:
        SetSpan(Span::Day);
        break;
    case kSpanWeek:
        SetSpan(Span::Week);
        break;
    case kMenuOpen:
        OpenMain();
        break;
    case kMenuExit:
        ui::Quit();
        break;
    default:
        break;
    }
}

void TrayOpen(void*) {
    OpenMain();
}

void TrayMenu(void*) {
    const int chosen = ui::PopupMenu(App.Main, {{kMenuOpen, "&Open Chronel Monitor"},
                                                {kMenuSync, "&Sync now"},
                                                {0, ""},
                                                {kMenuExit, "E&xit"}});
    if (chosen != 0) {
        MainCommand(nullptr, chosen);
    }
}

void CloseMain(void*) {
    // The tray icon stays: closing the window only hides it. Without a tray, it ends the program.
    App.Visible = false;
    if (!App.IconState) {
        ui::Quit();
        return;
    }
    ui::Hide(App.Main);
}

bool BuildMain() {
    ui::Handlers on;
    on.Command = MainCommand;
    on.Timer = Tick;
    on.TrayOpen = TrayOpen;
    on.TrayMenu = TrayMenu;
    on.Paint = PaintChart;
    on.Close = CloseMain;
    App.Main = ui::CreateMainWindow(kClassName, kTitle, 640, 600, on);
    if (App.Main == 0) {
        return false;
    }
    const ui::Window w = App.Main;
    ui::AddControl(w, ui::Control::Text, kStateText, "State: reading...", {8, 8, 400, 18});
    ui::AddControl(w, ui::Control::Text, kDiffText, "Difference: unknown", {416, 8, 216, 18});
    ui::AddControl(w, ui::Control::Label, kStatusLabel, "S&tatus:", {8, 30, 200, 16});
    ui::AddControl(w, ui::Control::ReadOnly, kStatusBox, "", {8, 48, 624, 132});
    ui::AddControl(w, ui::Control::Button, kSyncButton, "&Sync now", {8, 188, 110, 26});
    ui::AddControl(w, ui::Control::Button, kSettingsButton, "S&ettings...", {126, 188, 110, 26});
    ui::AddControl(w, ui::Control::Button, kServiceButton, "St&op service", {244, 188, 110, 26});
    ui::AddControl(w, ui::Control::Button, kReportButton, "&Report...", {362, 188, 110, 26});
    ui::AddControl(w, ui::Control::Text, kOutcomeText, "", {8, 218, 624, 18});
    ui::AddControl(w, ui::Control::Label, kSpanGroup,
                   "Difference over the last:", {8, 242, 150, 18});
    ui::AddControl(w, ui::Control::Radio, kSpanHour, "&hour", {160, 240, 70, 20});
    ui::AddControl(w, ui::Control::Radio, kSpanDay, "2&4 hours", {234, 240, 80, 20});
    ui::AddControl(w, ui::Control::Radio, kSpanWeek, "&7 days", {318, 240, 80, 20});
    ui::AddControl(w, ui::Control::Canvas, kChart, "", {8, 264, kChartWidth, kChartHeight});
    ui::AddControl(w, ui::Control::Label, kEventsLabel,
                   "Event &log (newest first):", {8, 460, 300, 16});
    ui::AddControl(w, ui::Control::List, kEventsList, "", {8, 478, 624, 114});
    ui::SetChecked(w, kSpanHour, true);
    return true;
}

} // namespace

int RunMonitor(const std::vector<std::string>& args) {
    if (!ui::ClaimSingleInstance(kClassName)) {
        return 0; // the running monitor shows its window
    }
    App.Elevated = ui::IsElevated();
    if (!BuildMain()) {
        return 1;
    }
    const bool show = std::find(args.begin(), args.end(), "/show") != args.end();
    Tick(nullptr);
    if (show || !App.IconState) {
        OpenMain(); // asked to, or no tray to live in
    }
    const int code = ui::RunLoop();
    ui::TrayRemove(App.Main);
    return code;
}

} // namespace mon
