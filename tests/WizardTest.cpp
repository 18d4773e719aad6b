// The configuration wizard, driven with clicks and keys: its pages, their order, and what it saves.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include "WizardRig.h"

namespace ravenox::wizard {
namespace {

using namespace ravenox::wizard::rig;

TEST(Wizard, NextAndBackFollowTheCarrierNowSelected) {
  Rig rig;
  rig.Open();
  auto& in = rig.installer;
  struct Step {
    const char* what;
    std::function<void()> act;
    TGenericFrame* expected;
  };
  const std::vector<Step> steps = {
      {"start", [] {}, in.WelcomePage},
      {"welcome next", [&] { rig.Next(); }, in.ProviderPage},
      {"welcome back", [&] { rig.Back(); }, in.WelcomePage},
      {"to carrier", [&] { rig.Next(); }, in.ProviderPage},
      {"cingular", [&] { rig.Carrier(1), rig.Next(); }, in.RegionPage},
      {"region back", [&] { rig.Back(); }, in.ProviderPage},
      {"cingular again", [&] { rig.Next(); }, in.RegionPage},
      {"a region", [&] { rig.Click(in.RegionPage->rdgrpCinglar->Button(2)), rig.Next(); },
       in.PersonalPage},
      {"number back (cingular)", [&] { rig.Back(); }, in.RegionPage},
      {"region back again", [&] { rig.Back(); }, in.ProviderPage},
      {"other", [&] { rig.Carrier(8), rig.Next(); }, in.CustomPage},
      {"custom back", [&] { rig.Back(); }, in.ProviderPage},
      {"other again", [&] { rig.Next(); }, in.CustomPage},
      {"custom next", [&] { in.CustomPage->CustomEmail->setText("a@b"), rig.Next(); },
       in.MeetingPage},
      {"meetings back (other)", [&] { rig.Back(); }, in.CustomPage},
      {"custom back to carrier", [&] { rig.Back(); }, in.ProviderPage},
      {"qwest", [&] { rig.Carrier(7), rig.Next(); }, in.PersonalPage},
      {"number back (qwest)", [&] { rig.Back(); }, in.ProviderPage},
      {"at&t", [&] { rig.Carrier(0), rig.Next(); }, in.PersonalPage},
      {"number next", [&] { rig.Number("5551234567"), rig.Next(); }, in.MeetingPage},
      {"meetings back (at&t)", [&] { rig.Back(); }, in.PersonalPage},
      {"number next again", [&] { rig.Number("5551234567"), rig.Next(); }, in.MeetingPage},
      {"meetings next", [&] { rig.Next(); }, in.TaskPage},
      {"tasks back", [&] { rig.Back(); }, in.MeetingPage},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    s.act();
    ASSERT_EQ(rig.Page(), s.expected);
    EXPECT_EQ(s.expected->parentWidget(), rig.form->MainPanel);
    EXPECT_TRUE(s.expected->isVisible());
  }
  EXPECT_TRUE(rig.boxes.shown.isEmpty());
  EXPECT_TRUE(rig.parent.posted.isEmpty());
  EXPECT_FALSE(in.WelcomePage->BackButton->isVisible());
  EXPECT_EQ(in.TaskPage->NextButton->text(), "&Done");
}

TEST(Wizard, CancelAndTheCloseBoxAskFirst) {
  Rig rig;
  TMainForm& form = rig.Open();
  rig.ToNumberPage();
  rig.Number("5551234567");
  rig.Next();  // stores the number
  // No keeps everything and posts nothing.
  rig.Cancel();
  EXPECT_EQ(rig.boxes.shown, QStringList{kQuestion});
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(rig.Page(), rig.installer.MeetingPage);
  form.close();  // the close box
  EXPECT_EQ(rig.boxes.shown, (QStringList{kQuestion, kQuestion}));
  EXPECT_TRUE(form.isVisible());
  Settle();
  EXPECT_TRUE(rig.parent.posted.isEmpty());
  // Yes closes (hidden, not destroyed) and asks the main window, once, to read the settings back.
  rig.boxes.answer = true;
  form.close();
  Settle();
  EXPECT_FALSE(form.isVisible());
  EXPECT_FALSE(form.Timer1.isActive());
  EXPECT_EQ(rig.parent.posted, QStringList{"reload"});
  EXPECT_EQ(rig.settings.Pin(), "5551234567");  // undone by the main window's reload, not here

  // A second run starts at the welcome page with the same pages, and asks again.
  const TGenericFrame* welcome = rig.installer.WelcomePage;
  TMainForm& second = rig.Open();
  EXPECT_EQ(rig.Page(), welcome);
  EXPECT_EQ(welcome->parentWidget(), second.MainPanel);
  EXPECT_EQ(rig.installer.ImagePage->parentWidget(), second.ImagePanel);
  rig.boxes.shown.clear();
  rig.Key(Qt::Key_Escape);
  EXPECT_EQ(rig.boxes.shown, QStringList{kQuestion});
  EXPECT_FALSE(second.isVisible());
}

TEST(Wizard, TheEndOfARunClosesWithoutAQuestionThenSaves) {
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    Rig rig;
    rig.Open();
    rig.ToNumberPage();
    rig.Number("5551234567");
    rig.Next();
    rig.Next();
    ASSERT_EQ(rig.Page(), rig.installer.TaskPage);
    if (run == 0) {
      rig.Next();
    } else {
      rig.Key(Qt::Key_Return);
    }
    EXPECT_TRUE(rig.installer.Finished);
    EXPECT_TRUE(rig.boxes.shown.isEmpty());
    // The window was closed before the save reached the main window.
    EXPECT_EQ(rig.parent.posted, QStringList{"save"});
    EXPECT_FALSE(rig.form->isVisible());
    EXPECT_EQ(rig.settings.Pin(), "5551234567");
    EXPECT_EQ(rig.settings.Service(), 5);
    // The next run asks again on Cancel.
    rig.Open();
    EXPECT_FALSE(rig.installer.Finished);
    rig.Cancel();
    EXPECT_EQ(rig.boxes.shown, QStringList{kQuestion});
  }
}

TEST(Wizard, TheEnterKeyFollowsTheFocus) {
  Rig rig;
  rig.Open();
  auto& in = rig.installer;
  rig.Next();  // carrier page, Sprint PCS selected, the keyboard on Next
  EXPECT_EQ(QApplication::focusWidget(), in.ProviderPage->NextButton);
  // Elsewhere (a carrier entry): Next.
  in.ProviderPage->rdoServiceProvider->Button(4)->setFocus();
  rig.Key(Qt::Key_Return);
  ASSERT_EQ(rig.Page(), in.PersonalPage);
  // On a greyed Next: Next runs, and the page keeps the user there with the number focused.
  ASSERT_FALSE(in.PersonalPage->NextButton->isEnabled());
  in.PersonalPage->LateTime->setFocus();
  rig.Key(Qt::Key_Enter);
  EXPECT_EQ(rig.Page(), in.PersonalPage);
  EXPECT_EQ(QApplication::focusWidget(), in.PersonalPage->CellNumber);
  // On Back: back.
  in.PersonalPage->BackButton->setFocus();
  rig.Key(Qt::Key_Return);
  ASSERT_EQ(rig.Page(), in.ProviderPage);
  // On Cancel: the question.
  in.ProviderPage->CancelButton->setFocus();
  rig.Key(Qt::Key_Return);
  EXPECT_EQ(rig.boxes.shown, QStringList{kQuestion});
  EXPECT_EQ(rig.Page(), in.ProviderPage);
  // F1: the wizard's help, the page's own where the focus is in it.
  rig.Key(Qt::Key_F1);
  EXPECT_EQ(rig.help, std::vector<int>{kMainPanelHelpContext});
}

TEST(Wizard, TheNumberFieldReadsBackAsItsPlacesAreFilled) {
  struct Case {
    const char* keys;
    int from_place;
    const char* value;
  };
  const Case cases[] = {
      {"5551234567", 0, "5551234567"},
      {"555", 0, "555       "},
      {"1234567", 3, "1234567"},
      {"", 0, ""},
      {"55", 5, "55   "},
  };
  Rig rig;
  rig.Open();
  rig.ToNumberPage();
  TPersonnelConfig& page = *rig.installer.PersonalPage;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    rig.Number(c.keys, c.from_place);
    EXPECT_EQ(page.CellNumber->Value(), c.value);
    const bool ten = std::string(c.value).size() == 10;
    EXPECT_EQ(page.NextButton->isEnabled(), ten);
    rig.Key(Qt::Key_Return);
    if (!ten) {
      EXPECT_EQ(rig.Page(), &page);
      EXPECT_EQ(QApplication::focusWidget(), page.CellNumber);
      EXPECT_EQ(rig.settings.Pin(), "");
      continue;
    }
    ASSERT_EQ(rig.Page(), rig.installer.MeetingPage);
    EXPECT_EQ(rig.settings.Pin(), c.value);
    rig.Back();
    // Shown again, the page shows what was stored.
    EXPECT_EQ(page.CellNumber->Value(), c.value);
    rig.settings.SetPin("");
  }
  // Stored values of other shapes load into the places from the right, as they read back.
  for (const auto& [stored, shown] :
       std::vector<std::pair<std::string, std::string>>{{"(555) 123-4567", "5551234567"},
                                                        {"1234567", "1234567"},
                                                        {"555123456789", "5551234567"}}) {
    SCOPED_TRACE(stored);
    page.CellNumber->SetValue(stored);
    EXPECT_EQ(page.CellNumber->Value(), shown);
  }
}

TEST(Wizard, RegionAndCustomAddressPages) {
  Rig rig;
  rig.Open();
  auto& in = rig.installer;
  rig.settings.SetCustomAddr("old.example");
  rig.Next();
  rig.Carrier(1);
  rig.Next();
  TCinglarServiceSelect& region = *in.RegionPage;
  ASSERT_EQ(rig.Page(), &region);
  ASSERT_EQ(region.rdgrpCinglar->Count(), 6);
  EXPECT_EQ(region.rdgrpCinglar->Button(2)->text(), "Houston, Texas");
  EXPECT_EQ(region.rdgrpCinglar->ItemIndex(), -1);
  EXPECT_FALSE(region.NextButton->isEnabled());
  EXPECT_EQ(QApplication::focusWidget(), region.rdgrpCinglar->Button(0));
  rig.Key(Qt::Key_Return);  // no region: stays, stores nothing
  EXPECT_EQ(rig.Page(), &region);
  EXPECT_EQ(rig.settings.CustomAddr(), "old.example");
  rig.Click(region.rdgrpCinglar->Button(3));
  EXPECT_TRUE(region.NextButton->isEnabled());
  rig.Next();
  EXPECT_EQ(rig.settings.CustomAddr(), "mobile.mycingular.com");
  EXPECT_EQ(rig.settings.Service(), 1);
  rig.Back();  // the region page shows no selection again, and Enter still does nothing
  EXPECT_EQ(region.rdgrpCinglar->ItemIndex(), -1);
  EXPECT_FALSE(region.NextButton->isEnabled());
  EXPECT_EQ(QApplication::focusWidget(), region.rdgrpCinglar->Button(0));
  rig.Key(Qt::Key_Return);
  EXPECT_EQ(rig.Page(), &region);
  EXPECT_TRUE(rig.boxes.shown.empty()) << rig.boxes.shown.join("; ").toStdString();
  rig.Key(Qt::Key_Space);  // a region by keys
  EXPECT_EQ(region.rdgrpCinglar->ItemIndex(), 0);
  EXPECT_TRUE(region.NextButton->isEnabled());

  // Other: Next is a hint only; Enter stores the address as typed.
  rig.Back();
  rig.Carrier(8);
  rig.Next();
  TCustomService& custom = *in.CustomPage;
  ASSERT_EQ(rig.Page(), &custom);
  EXPECT_FALSE(custom.NextButton->isEnabled());
  custom.CustomEmail->setFocus();
  QTest::keyClicks(custom.CustomEmail, "pager.example");
  EXPECT_FALSE(custom.NextButton->isEnabled());
  rig.Key(Qt::Key_Return);
  EXPECT_EQ(rig.Page(), in.MeetingPage);
  EXPECT_EQ(rig.settings.CustomEmail(), "pager.example");
  EXPECT_EQ(rig.settings.Service(), 8);
  rig.Back();
  QTest::keyClicks(custom.CustomEmail, "@x");
  EXPECT_TRUE(custom.NextButton->isEnabled());
  rig.Back();  // nothing stored
  EXPECT_EQ(rig.settings.CustomEmail(), "pager.example");
  // Shown again with Next greyed by the stored address: the keyboard is in the address, not on
  // Cancel, so Enter goes on.
  rig.Next();
  EXPECT_EQ(QApplication::focusWidget(), custom.CustomEmail);
  rig.Key(Qt::Key_Return);
  EXPECT_EQ(rig.Page(), in.MeetingPage);
  EXPECT_TRUE(rig.boxes.shown.empty()) << rig.boxes.shown.join("; ").toStdString();
}

// Captions take the largest face in which each column's widest fits; only what fits in none is
// cut, and then the whole caption is its tooltip.
TEST(Wizard, RadioCaptionsFitTheirColumns) {
  App();
  struct Case {
    const char* name;
    int columns, width;
    QStringList captions;
    bool smaller, tooltip;
  };
  const QString long_one = "All other states and All other cities in Texas, excluding Houston";
  const Case cases[] = {
      {"short captions keep the face", 2, 369, {"&AT&&T", "&Other"}, false, false},
      {"a long caption in a narrow box: two lines",
       1,
       361,
       {long_one, "Houston, Texas"},
       false,
       false},
      {"a caption no face fits", 1, 120, {"&Alabama, " + long_one}, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QWidget page;
    page.setFont(WizardFace());
    auto* group = new TRadioGroup("", c.columns, &page);
    group->setGeometry(0, 0, c.width, 200);
    for (const QString& caption : c.captions) group->Add(caption);
    page.show();
    for (int i = 0; i < group->Count(); ++i) {
      QRadioButton* b = group->Button(i);
      EXPECT_EQ(b->font().pixelSize() < WizardFace().pixelSize(), c.smaller);
      if (!c.tooltip) {
        EXPECT_LE(b->geometry().right(), group->contentsRect().right());
      }
      EXPECT_EQ(b->toolTip(),
                c.tooltip ? QString(c.captions[i]).remove(0, 1) : QString());  // no "&" mark
      // Broken only at a blank, nothing lost.
      EXPECT_EQ(QString(b->text()).replace('\n', ' '), c.captions[i]);
    }
  }
}

TEST(Wizard, CarrierPageLoadsTheStoredCarrier) {
  struct Case {
    int stored;
    int selected;
  };
  for (const auto& c : {Case{4, 4}, Case{0, 0}, Case{8, 8}, Case{9, 8}, Case{255, 8}}) {
    SCOPED_TRACE(c.stored);
    Rig rig;
    rig.settings.SetService(static_cast<uint8_t>(c.stored));
    rig.Open();
    rig.Next();
    TServiceProvider& page = *rig.installer.ProviderPage;
    ASSERT_EQ(page.rdoServiceProvider->Count(), 9);
    for (int i = 0; i < 9; ++i) {
      EXPECT_EQ(page.rdoServiceProvider->Button(i)->text(), settings::CarrierCaptions[i]);
    }
    EXPECT_EQ(page.rdoServiceProvider->ItemIndex(), c.selected);
    EXPECT_TRUE(page.NextButton->isEnabled());
  }
}

TEST(Wizard, TasksPagePeriodFollowsThePastDueBox) {
  Rig rig;
  rig.settings.SetSwitch(NotifySwitch::kTaskReminder, true);
  rig.settings.SetTaskRemindPeriod(0);
  rig.Open();
  rig.ToNumberPage();
  rig.Number("5551234567");
  rig.Next();
  rig.Next();
  TTaskManagement& page = *rig.installer.TaskPage;
  ASSERT_EQ(rig.Page(), &page);
  // The stored period wins over the Daily that ticking selects.
  EXPECT_TRUE(page.TaskPastReminder->isChecked());
  EXPECT_EQ(page.cboReminderPeriod->currentText(), "Every Hour");
  EXPECT_TRUE(page.cboReminderPeriod->isEnabled());
  rig.Click(page.TaskPastReminder);  // untick: disabled, selection kept
  EXPECT_FALSE(page.cboReminderPeriod->isEnabled());
  EXPECT_FALSE(page.Label5->isEnabled());
  EXPECT_EQ(page.cboReminderPeriod->currentIndex(), 0);
  rig.Click(page.TaskPastReminder);  // tick: enabled, Daily
  EXPECT_TRUE(page.cboReminderPeriod->isEnabled());
  EXPECT_EQ(page.cboReminderPeriod->currentText(), "Daily");
  page.cboReminderPeriod->setCurrentIndex(3);
  rig.Click(page.TaskPastReminder);  // untick; the period is stored all the same
  rig.Click(page.TaskReminderNotify);
  rig.Next();
  EXPECT_EQ(rig.settings.TaskRemindPeriod(), 3);
  EXPECT_FALSE(rig.settings.TaskReminder());
  EXPECT_TRUE(rig.settings.TaskNotify());
  EXPECT_FALSE(rig.settings.TaskPreNotify());
  // In a second run, Enter in the period list ends the run as Done does.
  rig.form->show();
  Settle();
  rig.ToNumberPage();
  rig.Next();
  rig.Next();
  ASSERT_EQ(rig.Page(), &page);
  rig.Click(page.TaskPastReminder);
  page.cboReminderPeriod->setFocus();
  rig.parent.posted.clear();
  rig.Key(Qt::Key_Return);
  EXPECT_EQ(rig.parent.posted, QStringList{"save"});
  EXPECT_TRUE(rig.settings.TaskReminder());
}

TEST(Wizard, TimesKeepThePickersDateAndTheSettingsTimeOfDay) {
  Rig rig;
  rig.settings.SetEarlyTime(40000.0 + 6.0 / 24);  // a time of day on another date
  rig.Open();
  rig.ToNumberPage();
  TPersonnelConfig& page = *rig.installer.PersonalPage;
  EXPECT_EQ(page.EarlyTime->time(), QTime(6, 0));
  EXPECT_EQ(page.LateTime->time(), QTime(19, 0));
  page.EarlyTime->setTime(QTime(9, 30));  // as the user's edit
  rig.Number("5551234567");
  rig.Next();
  double day = 0.0;
  const double fraction = std::modf(rig.settings.EarlyTime().Value(), &day);
  EXPECT_EQ(day, 37337.0);
  EXPECT_NEAR(fraction, 0.3958333333, 1e-10);
  EXPECT_NEAR(rig.settings.LateTime().Value(), 37337 + 19.0 / 24, 1e-9);
}

TEST(Wizard, BackAndNextWithoutChangesKeepEverySetting) {
  for (const int carrier : {1, 5, 8}) {
    SCOPED_TRACE(carrier);
    Rig rig;
    settings::TSettings& s = rig.settings;
    s.SetService(static_cast<uint8_t>(carrier));
    s.SetPin("5559876543");
    s.SetCustomEmail("me@pager.example");
    s.SetCustomAddr("mobile.mycingular.com");
    s.SetEarlyTime(37337 + 6.5 / 24);
    s.SetLateTime(37337 + 21.25 / 24);
    s.SetTaskRemindPeriod(1);
    for (const auto w : {NotifySwitch::kMeetingNotify, NotifySwitch::kEveningNotify,
                         NotifySwitch::kTaskPreNotify, NotifySwitch::kTaskReminder}) {
      s.SetSwitch(w, true);
    }
    auto snapshot = [&s] {
      std::ostringstream out;
      out << +s.Service() << "|" << s.Pin() << "|" << s.CustomEmail() << "|" << s.CustomAddr()
          << "|" << s.EarlyTime().Value() << "|" << s.LateTime().Value() << "|"
          << s.TaskRemindPeriod();
      for (int i = 0; i < settings::kNotifySwitchCount; ++i) out << s.Switch(NotifySwitch(i));
      return out.str();
    };
    const std::string before = snapshot();
    rig.Open();
    auto& in = rig.installer;
    // Forward to the tasks page, back to the welcome page, and forward again, changing nothing
    // (the region page alone needs its choice made again).
    auto forward = [&] {
      while (rig.Page() != in.TaskPage) {
        if (rig.Page() == in.RegionPage) rig.Click(in.RegionPage->rdgrpCinglar->Button(0));
        rig.Next();
      }
    };
    forward();
    while (rig.Page() != in.WelcomePage) rig.Back();
    forward();
    rig.Next();
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(rig.parent.posted, QStringList{"save"});
  }
}

TEST(Wizard, StatusLineErrorsGoToABoxAndBlink) {
  Rig rig;
  TMainForm& form = rig.Open();
  EXPECT_EQ(form.Timer1.interval(), 1000);
  rig.installer.SetStatusText("Working on it");
  EXPECT_EQ(rig.installer.GetStatusText(), "Working on it");
  EXPECT_EQ(form.StatusBar->toolTip(), "Working on it");
  EXPECT_EQ(form.StatusBar->DrawnText(), "Working on it");
  rig.installer.SetStatusText("Oops *** ERROR Disk full");
  EXPECT_EQ(rig.installer.GetStatusText(), "");
  EXPECT_EQ(rig.boxes.shown, QStringList{"error: RROR Disk full"});
  rig.installer.SetStatusText("*** ERROR Disk full");
  EXPECT_EQ(rig.boxes.shown.back(), "error: Disk full");
  EXPECT_EQ(form.StatusBar->toolTip(), "");  // empty: no hint

  // An error text on the line itself, on a fake timer: red six times for half a second.
  form.Timer1.stop();
  form.StatusBar->SetPanelText("*** ERROR Disk full");
  form.StatusBar->repaint();
  EXPECT_EQ(form.StatusBar->DrawnText(), "Disk full");
  QString colours;
  for (int tick = 1; tick <= 16; ++tick) {
    form.Timer1Timer();
    colours += form.StatusBar->FontColor() == TMainForm::kErrorColor ? 'R' : '-';
  }
  EXPECT_EQ(colours, "R-R-R-R-R-R-----");
  EXPECT_EQ(form.BlinkCount, 14);
  EXPECT_EQ(form.Timer1.interval(), 500);
  // A normal text ends it.
  rig.installer.SetStatusText("Fine");
  EXPECT_EQ(form.BlinkCount, 1);

  // A long text is drawn up to its first sentence; the line keeps it whole.
  const QString sentence = "First part. ";
  const QString long_text = sentence + QString(160, 'x') + ".";
  rig.installer.SetStatusText(long_text);
  EXPECT_EQ(form.StatusBar->DrawnText(), sentence);
  form.StatusBar->repaint();
  EXPECT_EQ(rig.installer.GetStatusText(), long_text);
  EXPECT_EQ(form.StatusBar->DrawnText(), sentence);
}

TEST(Wizard, Placement) {
  const QSize window(612, 413);
  struct Case {
    const char* name;
    std::vector<QRect> monitors;
    QPoint at;
  };
  const Case cases[] = {
      {"one 1280 x 1024: the desktop's centre", {QRect(0, 0, 1280, 1024)}, QPoint(334, 305)},
      {"one 2560 x 1024: the left half's centre", {QRect(0, 0, 2560, 1024)}, QPoint(334, 306)},
      {"two: the first one's centre",
       {QRect(1920, 0, 1280, 1024), QRect(0, 0, 1920, 1080)},
       QPoint(1920 + 640 - 306, 512 - 206)},
      {"1740 x 1024: not wide", {QRect(0, 0, 1740, 1024)}, QPoint(564, 305)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WizardPlacement(c.monitors, window), c.at);
  }
}

TEST(Wizard, WelcomeTextNamesTheStore) {
  const QString local = WelcomeLines(TStoreKind::kLocalStore).join('\n');
  const QString outlook = WelcomeLines(TStoreKind::kOutlook).join('\n');
  EXPECT_TRUE(local.contains("your calendar, appointments, task and urgent e-mails."));
  EXPECT_FALSE(local.contains("Outlook"));
  EXPECT_TRUE(outlook.contains("Microsoft\nOutlook* calendar, appointments, task and urgent"));
  EXPECT_TRUE(outlook.endsWith(
      "\n\nMicrosoft Outlook is a registered trademark of the Microsoft Corporation."));
  for (const QString& text : {local, outlook}) {
    EXPECT_TRUE(text.contains("To continue with the configuration wizard click Next>."));
  }
  // The lines as they are where each fits, else a paragraph as one line for the memo to wrap.
  const QStringList lines{"ab", "cd", "", "", "ef", "gh"};
  const auto chars = [](const QString& line) { return static_cast<int>(line.size()); };
  EXPECT_EQ(FittedText(lines, chars, 2), "ab\ncd\n\n\nef\ngh");
  EXPECT_EQ(FittedText(lines, chars, 1), "ab cd\n\n\nef gh");
  // The memo never keeps the focus.
  Rig rig;
  rig.Open();
  TAgentInitialFrame& page = *rig.installer.WelcomePage;
  auto words = [](QString text) { return text.replace('\n', ' ').simplified(); };
  EXPECT_EQ(words(page.MessageMemo->toPlainText()), words(local));
  QTest::mouseClick(page.MessageMemo->viewport(), Qt::LeftButton);
  EXPECT_EQ(QApplication::focusWidget(), page.NextButton);
  // The side picture: drawn for the program, 142 x 387 in 24-bit colour, filling its panel.
  const QImage side = SidePicture();
  EXPECT_EQ(side.size(), QSize(142, 387));
  EXPECT_EQ(side.depth(), 24);
  EXPECT_NE(side.pixel(70, 370), side.pixel(70, 10));
  EXPECT_EQ(rig.installer.ImagePage->parentWidget(), rig.form->ImagePanel);
}

}  // namespace
}  // namespace ravenox::wizard
