#pragma once

#include <cstdint>
#include <string>

// The product version of a file as "a.b.c.d", or one of its failure texts.
void FileVersionText(const char* path, std::string& text);

// 0 to 6: the class of operating system by platform id and version.
std::uint8_t OsVersionClass();

// Runs "setup.exe <argument>" where the operating system class needs it.
bool RunSetup(const std::string& argument);
