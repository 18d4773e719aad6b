// The urgent e-mail watch: unread, high-importance mail of the last day, reported once.
#include "engine/OutlookProcessorUnit.h"

namespace ravenox::engine {
namespace {

constexpr double kOneDay = 1.0;
constexpr unsigned kPauseAfterUnreadMs = 54;

}  // namespace

void TOutlookProcessor::GetInbox() {
  DebugLog("Getting Inbox");
  auto folder = outlook_->GetNamespace("MAPI")->GetDefaultFolder(outlook::olFolderInbox);
  if (folder != nullptr) InboxFolder = std::move(folder);
  DebugLog("Got Inbox");
}

void TOutlookProcessor::CheckUrgentEmail() {
  GetInbox();
  if (InboxFolder == nullptr) throw std::runtime_error("No inbox folder");
  const int count = InboxFolder->Items()->Count();
  for (int position = 1; position <= count; ++position) {
    // Cheap ways out first: nothing unread left, or the user is typing.
    if (InboxFolder->UnReadItemCount() == 0) break;
    if (KeyboardPressed()) break;
    const auto item = InboxFolder->Items()->Item(position);
    if (item == nullptr) continue;
    const auto mail = outlook::As<outlook::MailItem>(item);
    if (!mail->UnRead()) continue;

    const TDateTime now = env_.clock->Now();
    if (mail->Importance() == outlook::olImportanceHigh &&
        !(mail->ReceivedTime() < now - kOneDay)) {
      const std::string text = mail->Subject() + " From:" + mail->SenderName();
      if (EmailList.Lookup(RecordText(text)) == nullptr) {
        auto record = std::make_unique<TEmailItem>();
        record->Text = RecordText(text);
        record->FirstSeen = now;
        EmailList.Add(std::move(record));
        // Kept whether or not the message goes out: an urgent mail is never retried, unless the
        // user came back before it went.
        std::string address;
        host_.GetPhoneAddress(address);
        if (!SendNewEmail(address, "Urgent Email:" + text, "",
                          TextIdentity("urgent mail", text, mail->ReceivedTime())) &&
            held_back_) {
          if (int at = 0; EmailList.Find(RecordText(text), at)) EmailList.Delete(at);
          break;
        }
        SaveSent();
      }
    }
    env_.clock->Sleep(kPauseAfterUnreadMs);
  }

  const TDateTime cutoff = env_.clock->Now() - kOneDay;
  for (int i = EmailList.Count() - 1; i >= 0; --i) {
    if (EmailList[i].FirstSeen < cutoff) EmailList.Delete(i);
  }
}

}  // namespace ravenox::engine
