#pragma once

#include "platform/Platform.h"

#include <string>
#include <vector>

// The service runs as LocalSystem and loads the card library from its own folder, so whoever
// may change that folder, the program or the library beside it can run code as SYSTEM.
// True when anyone besides the administrators, SYSTEM, TrustedInstaller and CREATOR OWNER may
// write, delete or take over one of them; why then names the object and who. A missing card
// library, or an object whose rights cannot be read, is passed over.
bool InstallFolderOpenToUsers(const std::string& exePath, std::string& why);

// Who besides the administrators, SYSTEM, TrustedInstaller and CREATOR OWNER may change the
// object whose rights these are, joined with ", " (by name, else by SID); empty when nobody.
// The settings key is held to the same rule: whoever may write it chooses what the service
// does as SYSTEM.
std::string UntrustedWriters(const std::vector<plat::FileAccessEntry>& entries);
