#pragma once

#include <string>

// The service runs as LocalSystem and loads the card library from its own folder, so whoever
// may change that folder, the program or the library beside it can run code as SYSTEM.
// True when anyone besides the administrators, SYSTEM, TrustedInstaller and CREATOR OWNER may
// write, delete or take over one of them; why then names the object and who. A missing card
// library, or an object whose rights cannot be read, is passed over.
bool InstallFolderOpenToUsers(const std::string& exePath, std::string& why);
