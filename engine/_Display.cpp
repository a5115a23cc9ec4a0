#include "engine/_Display.h"

#include "TimeFunc/TimeZone.h"
#include "platform/Platform.h"

#include <memory>

namespace {

// What one popup's thread owns; it deletes it when the box has been sent.
struct PopupTask {
    std::string Text;
    std::string Caption;
};

// The service's own session has no desktop anybody sees, and a box there would hold its thread
// until an answer that never comes; so the box goes to the user at the console, and nobody
// waits for the answer. With nobody at the console there is no one to show it to.
void RunPopup(void* context) {
    const std::unique_ptr<PopupTask> task(static_cast<PopupTask*>(context));
    plat::MessageBeep(1);
    const std::uint32_t session = plat::WTSGetActiveConsoleSessionId();
    if (session == plat::kNoConsoleSession) {
        return;
    }
    (void)plat::WTSSendMessage(session, task->Caption, task->Text, plat::kMbOk, false);
}

} // namespace

void TMessage::Show(const std::string& message) {
    // The time is taken now, on the caller's thread: the moment the condition was raised.
    auto task = std::make_unique<PopupTask>();
    task->Text = message + "\n\n" + FormatLocalNow();
    task->Caption = kPopupCaption;
    if (plat::StartDetachedThread(&RunPopup, task.get())) {
        static_cast<void>(task.release()); // the thread owns it now
    }
}

void DisplayMessage(const std::string& text) {
    try {
        TMessage::Show(text);
    } catch (...) {
        // A popup that cannot be raised is lost; the caller's work goes on.
    }
}
