#pragma once

#include <cstdint>
#include <string>

// Firmware number: major (low 6 bits of the firmware word) x 100 + the two minor digits.
std::int32_t FirmwareNumber(std::uint32_t firmwareWord, std::uint32_t tensDigit,
                            std::uint32_t unitsDigit);

// True when the card is a supported model with firmware new enough, and answers a read.
bool IdentifyCard(std::string& cardText, std::uint32_t& firmwareWord,
                  std::uint32_t& libraryVersion);

// The "MonitorVersion" text from an identification and the service executable's version.
std::string VersionText(bool identified, const std::string& cardText, std::uint32_t firmwareWord,
                        std::uint32_t libraryVersion, const std::string& serviceVersion);
