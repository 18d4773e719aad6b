// Sending a notification to the phone.
#include "engine/OutlookProcessorUnit.h"

namespace ravenox::engine {
namespace {

constexpr int kAwayConfirmationRounds = 30000;

}  // namespace

bool TOutlookProcessor::SendNewEmail(const std::string& address, const std::string& subject,
                                     const std::string& body) {
  DebugLog("SendNewemail to " + address);

  // Watch mouse and keyboard a moment longer; the user may just be coming back. A pending test
  // message goes out regardless.
  platform::CursorPoint previous = env_.input->GetCursorPos();
  platform::KeyTable keys{};
  for (int round = 0; round < kAwayConfirmationRounds && !TestPending(); ++round) {
    if (Terminated()) return false;
    env_.clock->Yield();
    const platform::CursorPoint position = env_.input->GetCursorPos();
    env_.input->GetKeyboardState(keys);
    for (const uint8_t key : keys) {
      if (key & 0x80) return false;
    }
    if (position != previous) return false;
    previous = position;
  }

  std::lock_guard lock(lock_);
  try {
    const auto mail = outlook::As<outlook::MailItem>(outlook_->CreateItem(outlook::olMailItem));
    if (mail == nullptr) throw outlook::AutomationError("Outlook did not create a mail item");
    mail->SetTo(address);
    mail->SetSubject(subject);
    mail->SetBody(body);
    mail->Send();
    return true;
  } catch (const std::exception& e) {
    host_.SetStatusText(e.what());
    host_.ShowException(e.what());
    return false;
  }
}

void TOutlookProcessor::HandleNotify() {
  DebugLog("HandleNotify");
  DebugLog("HandleNotify - Exit");
}

void TOutlookProcessor::SendPendingTest() {
  if (!TestPending()) return;
  DebugLog("Sending Test");
  std::string address, subject, body;
  {
    std::lock_guard lock(test_mutex_);
    address = test_address_;
    subject = test_subject_;
    body = test_body_;
  }
  host_.SetStatusText(subject);
  SendNewEmail(address, subject, body);
  test_pending_.store(false, std::memory_order_release);
}

}  // namespace ravenox::engine
