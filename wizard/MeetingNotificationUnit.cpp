#include "wizard/MeetingNotificationUnit.h"

namespace ravenox::wizard {

TMeetingNotification::TMeetingNotification(TBaseInstaller& installer) : TGenericFrame(installer) {
  Label1 = AddLabel("Select the options below for meeting notification.", 16, 16);
  cbMeetingNotify = AddOptionBox(40);
  Label2 = AddLabel(
      "I wish to be notified via my cell phone when a meeting reminder occurs. That is if a "
      "meeting has a reminder setting notify me at the same time outlook would notify me at my "
      "computer.",
      56, 40 + 4, 313);
  cbMorningEveningNotify = AddOptionBox(96);
  Label3 = AddLabel(
      "I wish to be notified in the morning of the first meeting of the day. That is, send a "
      "reminder to my cell phone to when my first meeting is and send it at my eariliest "
      "available time.",
      56, 96 + 4, 313);
  cbEveningMeetingNotify = AddOptionBox(162);
  Label4 = AddLabel(
      "I wish to be notified in the evening of the first meeting of the next day. That is, send a "
      "reminder to my cell phone as to when my first meeting is the next day. and send that right "
      "before my evening last time",
      56, 156, 313, 53);
  Label5 = AddLabel("Select the option below for urgent e-mail notification.", 16, 216);
  cbUrgentEmail = AddOptionBox(240);
  Label6 = AddLabel(
      "I wish to be notified of the subject and sender of any incoming urgent e-mail that arrives "
      "in my in-box.",
      56, 244, 313, 33);
  Loaded();
}

void TMeetingNotification::PageShown() {
  TGenericFrame::PageShown();
  cbMeetingNotify->setChecked(Settings().MeetingNotify());
  cbMorningEveningNotify->setChecked(Settings().MorningNotify());
  cbEveningMeetingNotify->setChecked(Settings().EveningNotify());
  cbUrgentEmail->setChecked(Settings().UrgentEmail());
}

void TMeetingNotification::DoNext() {
  using settings::NotifySwitch;
  Settings().SetSwitch(NotifySwitch::kMeetingNotify, cbMeetingNotify->isChecked());
  Settings().SetSwitch(NotifySwitch::kMorningNotify, cbMorningEveningNotify->isChecked());
  Settings().SetSwitch(NotifySwitch::kEveningNotify, cbEveningMeetingNotify->isChecked());
  Settings().SetSwitch(NotifySwitch::kUrgentEmail, cbUrgentEmail->isChecked());
  TGenericFrame::DoNext();
}

}  // namespace ravenox::wizard
