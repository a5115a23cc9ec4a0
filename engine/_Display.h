// Popups for the user at the console: each sent from a short thread of its own that frees
// itself; neither the caller nor that thread waits for the user.
#pragma once

#include <string>

constexpr const char* kPopupCaption = "Quorlan Chronel";

class TMessage {
  public:
    // Composes the text on the caller's thread and starts the popup's thread.
    static void Show(const std::string& message);
};

void DisplayMessage(const std::string& text);
