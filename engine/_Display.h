// Popups: each on a thread of its own that frees itself; the caller never waits.
#pragma once

#include <string>

constexpr const char* kPopupCaption = "Quorlan Chronel";

class TMessage {
  public:
    // Composes the text on the caller's thread and starts the popup's thread.
    static void Show(const std::string& message);
};

void DisplayMessage(const std::string& text);
