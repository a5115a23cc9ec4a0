// chronelmon.exe's program: the tray icon, the main window and the settings dialog.
#pragma once

#include <string>
#include <vector>

namespace mon {

// The whole program: args without the program's name ("/show" opens the window at once).
int RunMonitor(const std::vector<std::string>& args);

} // namespace mon
