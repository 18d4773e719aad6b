// Sending a notification to the phone.
#include "engine/OutlookProcessorUnit.h"

namespace ravenox::engine {
namespace {

// The watch before a send: fresh looks at the session for a second. Any input in it, the pointer
// or a key, means the user is coming back.
constexpr std::chrono::milliseconds kAwayWatch{1000};
constexpr double kNotifyWindow = 2.0 / 1440.0;

}  // namespace

std::string TextIdentity(const std::string& kind, const std::string& text, TDateTime when) {
  return kind + "\t" + std::to_string(when.Ticks()) + "\t" + RecordText(text);
}

bool TOutlookProcessor::SendNewEmail(const std::string& address, const std::string& subject,
                                     const std::string& body, const std::string& identity) {
  DebugLog("SendNewemail to " + address);
  held_back_ = false;
  // Nothing was sent: the log says why, and no caller records a notification that never went out.
  auto hold_back = [this](const char* why) {
    held_back_ = true;
    UserAway = false;
    DebugLog(std::string("Text held back: ") + why);
    return false;
  };

  // Watch mouse and keyboard a moment longer; the user may just be coming back. A pending test
  // message goes out regardless. The watch sleeps between its looks: it costs a few looks, not a
  // core.
  if (!TestPending()) {
    if (Terminated()) {
      held_back_ = true;
      DebugLog("Text held back: the engine is stopping");
      return false;
    }
    // Nothing tells whether anyone is there (the display or the bus went): nobody is texted.
    if (!env_.input->Problem().empty())
      return hold_back("nothing tells whether the user is at the computer");
    // From where the away check left the cursor: input since then counts, even input the
    // watch's first look is the first to see.
    const bool back = env_.input->InputWithin(kAwayWatch, CurrentCursor,
                                              [this] { return Terminated() || TestPending(); });
    if (Terminated()) {
      held_back_ = true;
      DebugLog("Text held back: the engine is stopping");
      return false;
    }
    if (back) return hold_back("the user came back");
  }

  std::lock_guard lock(lock_);
  try {
    const auto mail = outlook::As<outlook::MailItem>(outlook_->CreateItem(outlook::olMailItem));
    if (mail == nullptr) throw outlook::AutomationError("Outlook did not create a mail item");
    mail->SetTo(address);
    mail->SetSubject(subject);
    mail->SetBody(body);
    if (!identity.empty()) mail->SetIdentity(identity);
    mail->Send();
    sent_unsaved_ = true;
    return true;
  } catch (const outlook::SendLater& e) {
    // Nothing was queued (a full disk): not used up, tried again at a later pass; the status line
    // says why while it lasts.
    held_back_ = true;
    DebugLog(std::string("Text held back: ") + e.what());
    host_.SetStatusText(e.what());
    return false;
  } catch (const std::exception& e) {
    // Why a message did not go out (no sendmail, a refused address) belongs in the log too.
    DebugLog(std::string("Send failed: ") + e.what());
    host_.SetStatusText(e.what());
    host_.ShowException(e.what());
    return false;
  }
}

bool TOutlookProcessor::SendNotification(const std::string& subject, const std::string& identity) {
  Changed = true;
  std::string address;
  host_.GetPhoneAddress(address);
  host_.SetStatusText(subject);
  if (!SendNewEmail(address, subject, "", identity)) return false;
  env_.debug_output->Write("Event:" + subject + ":Notificed");
  return true;
}

bool TOutlookProcessor::NotifyEvent(TEventItem& record) {
  if (!SendNotification(record.Text, TextIdentity("meeting", record.Text, record.StartTime)))
    return false;
  record.Notified = true;
  return true;
}

bool TOutlookProcessor::NotifyFirstMeeting(TEventItem& record, const std::string& prefix) {
  // Marks the meeting itself as notified, so it gets no notification of its own later.
  if (!SendNotification(prefix + record.Text,
                        TextIdentity("first meeting", record.Text, record.StartTime)))
    return false;
  record.Notified = true;
  return true;
}

bool TOutlookProcessor::NotifyTask(TTaskEvent& record, const std::string& what) {
  // A past-due reminder repeats: each is told apart by when it fell due.
  const TDateTime when = what == "pre-notification" ? record.PreNotifyDay : record.NextReminder;
  if (!SendNotification(record.Text, TextIdentity(what, record.Text, when))) return false;
  record.Notified = true;
  return true;
}

void TOutlookProcessor::HandleNotify() {
  DebugLog("HandleNotify");
  // The time is read again after each send (its watch alone takes a second), not for every record
  // of a list that may hold a thousand.
  TDateTime now = env_.clock->Now();
  for (int i = NotifyList.Count() - 1; i >= 0; --i) {
    if (Terminated()) break;
    TEventItem& record = NotifyList[i];
    // Missed by more than two minutes (the user was here, or the engine was not running): given
    // up without a message.
    if (now - kNotifyWindow > record.NotifyTime) {
      DebugLog(record.Text + " Already Notified");
      record.Notified = true;
    }
    if (!record.Notified && record.NotifyTime <= now + kNotifyWindow) {
      // One try, unless the user came back before it went: then a later away pass inside the two
      // minutes may still send it.
      if (!NotifyEvent(record) && !held_back_) record.Notified = true;
      SaveSent();
      now = env_.clock->Now();
    }
    if (now - kSixHours > record.NotifyTime) {
      try {
        NotifyList.Delete(i);
        notes_changed_ = true;
      } catch (...) {
        DebugLog("Failed Delete Notification");
      }
    }
  }
  DebugLog("HandleNotify - Exit");
}

void TOutlookProcessor::SendPendingTest() {
  if (!TestPending()) return;
  DebugLog("Sending Test");
  std::string address, subject, body;
  uint64_t taken = 0;  // the requests this send answers
  {
    std::lock_guard lock(test_mutex_);
    address = test_address_;
    subject = test_subject_;
    body = test_body_;
    taken = test_requests_.load(std::memory_order_acquire);
  }
  host_.SetStatusText(subject);
  SendNewEmail(address, subject, body);
  test_sent_.store(taken, std::memory_order_release);
}

}  // namespace ravenox::engine
