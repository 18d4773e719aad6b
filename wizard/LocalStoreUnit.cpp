#include "wizard/LocalStoreUnit.h"

#include <QFileDialog>
#include <QFileInfo>

#include "settings/Carriers.h"
#include "wizard/BaseInstaller.h"
#include "wizard/InstallerMain.h"

namespace ravenox::wizard {
namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

}  // namespace

QString TLocalStorePage::WithPicked(const QString& sources, const QString& picked) {
  QStringList kept;
  for (const QString& part : sources.split(';', Qt::SkipEmptyParts)) {
    const QString path = part.trimmed();
    if (!path.isEmpty() && path != picked && QFileInfo::exists(path)) kept << path;
  }
  kept << picked;
  return kept.join(';');
}

TLocalStorePage::TLocalStorePage(TBaseInstaller& installer) : TGenericFrame(installer) {
  AddLabel("Where your calendar, tasks and mail are, and how texts go out.", 16, 10);
  auto row = [&](const QString& caption, int top, QLineEdit*& edit, QPushButton*& browse) {
    QLabel* label = AddLabel(caption, 16, top + 3);
    edit = new QLineEdit(this);
    edit->setGeometry(104, top, 233, 21);
    browse = new QPushButton("Browse...", this);
    browse->setGeometry(341, top, 68, 21);
    label->setBuddy(edit);  // its access key goes to the field
    KeepBefore(label, edit);
  };
  row("&Calendars:", 32, Calendars, BrowseCalendars);
  row("&Tasks:", 58, Tasks, BrowseTasks);
  row("&Inbox:", 84, Inbox, BrowseInbox);
  AddLabel("Found here:", 16, 113);
  Found = new QComboBox(this);
  Found->setGeometry(104, 110, 305, 21);
  QLabel* desktop = AddLabel("&Desktop:", 16, 139);
  Desktop = new QListWidget(this);
  Desktop->setGeometry(104, 136, 305, 58);
  desktop->setBuddy(Desktop);
  rbAccount = new QRadioButton("Through my &mail account", this);
  rbAccount->setGeometry(16, 199, 180, 19);
  rbSendmail = new QRadioButton("Through a &sendmail program", this);
  rbSendmail->setGeometry(200, 199, 209, 19);
  AddLabel("Server:", 32, 224);
  Server = new QLineEdit(this);
  Server->setGeometry(104, 221, 185, 21);
  AddLabel("Port:", 297, 224);
  Port = new QLineEdit(this);
  Port->setGeometry(333, 221, 76, 21);
  Port->setValidator(new QIntValidator(1, 65535, Port));
  AddLabel("User:", 32, 250);
  User = new QLineEdit(this);
  User->setGeometry(104, 247, 125, 21);
  AddLabel("Password:", 237, 250);
  Password = new QLineEdit(this);
  Password->setEchoMode(QLineEdit::Password);
  Password->setGeometry(309, 247, 100, 21);
  AddLabel("Program:", 32, 276);
  Sendmail = new QLineEdit(this);
  Sendmail->setGeometry(104, 273, 305, 21);
  SendTest = new QPushButton("Send a &test", this);
  SendTest->setGeometry(16, 301, 81, 23);
  TestResult = AddLabel("", 104, 301, 305, 48);
  TestResult->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  connect(rbAccount, &QRadioButton::toggled, this, [this] { ShowWay(); });
  connect(Found, &QComboBox::activated, this, [this](int i) { UseFound(i); });
  connect(SendTest, &QPushButton::clicked, this, [this] { SendTestClick(); });
  auto browse = [this](QLineEdit* edit, bool folder) {
    const QString picked =
        folder ? QFileDialog::getExistingDirectory(this, "Choose a folder", edit->text())
               : QFileDialog::getOpenFileName(this, "Choose a file", edit->text(),
                                              "iCalendar (*.ics);;All files (*)");
    if (picked.isEmpty()) return;
    // A calendar or task list is added to those there are (a path that is not there, typed
    // wrong, gives way to the one chosen); the inbox is one.
    if (edit == Inbox) {
      edit->setText(picked);
      return;
    }
    edit->setText(WithPicked(edit->text(), picked));
  };
  connect(BrowseCalendars, &QPushButton::clicked, this, [=, this] { browse(Calendars, false); });
  connect(BrowseTasks, &QPushButton::clicked, this, [=, this] { browse(Tasks, false); });
  connect(BrowseInbox, &QPushButton::clicked, this, [=, this] { browse(Inbox, true); });
  Loaded();
}

TStoreSetup* TLocalStorePage::Setup() const {
  TMainForm* form = Installer().MainForm();
  return form != nullptr ? form->Context().store_setup : nullptr;
}

void TLocalStorePage::PageShown() {
  TGenericFrame::PageShown();
  TestResult->clear();
  TStoreSetup* setup = Setup();
  if (setup == nullptr) return;
  const TStoreFields f = setup->Load();
  desktop_ = setup->DesktopSources();
  // The desktop's sources the profile names are ticked in the list, the rest stay in the fields
  // (one the desktop no longer has is kept, not dropped). A profile that names none of them
  // starts with those the desktop shows.
  bool named = false;
  std::vector<bool> ticked(desktop_.size(), false);
  auto split = [&](const std::string& list) {
    QStringList rest;
    for (const QString& part : Q(list).split(';', Qt::SkipEmptyParts)) {
      const std::string entry = part.trimmed().toStdString();
      bool listed = false;
      for (std::size_t i = 0; i < desktop_.size(); ++i) {
        if (desktop_[i].entry == entry) ticked[i] = listed = named = true;
      }
      if (!listed) rest << part.trimmed();
    }
    return rest.join(';');
  };
  Calendars->setText(split(f.calendars));
  Tasks->setText(split(f.tasks));
  Desktop->clear();
  for (std::size_t i = 0; i < desktop_.size(); ++i) {
    const auto& d = desktop_[i];
    auto* item =
        new QListWidgetItem(Q(d.name) + (d.account.empty() ? "" : " (" + Q(d.account) + ")") +
                                (d.tasks ? " \u2013 tasks" : ""),
                            Desktop);
    item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
    item->setCheckState((named ? ticked[i] : d.shown) ? Qt::Checked : Qt::Unchecked);
  }
  Desktop->setEnabled(!desktop_.empty());
  if (desktop_.empty()) Desktop->addItem("(the desktop keeps no calendars)");
  Inbox->setText(Q(f.inbox));
  Server->setText(Q(f.server));
  Port->setText(QString::number(f.port));
  User->setText(Q(f.user));
  Password->setText(Q(f.password));
  Sendmail->setText(Q(f.sendmail));
  (f.account ? rbAccount : rbSendmail)->setChecked(true);
  ShowWay();
  found_ = setup->Suggestions();
  Found->clear();
  Found->addItem(found_.empty() ? "(nothing found)" : "(choose one to add it)");
  for (const auto& x : found_) Found->addItem(Q(x.label + ": " + x.path));
  Found->setEnabled(!found_.empty());
}

void TLocalStorePage::ShowWay() {
  const bool account = rbAccount->isChecked();
  for (QWidget* w : std::initializer_list<QWidget*>{Server, Port, User, Password})
    w->setEnabled(account);
  Sendmail->setEnabled(!account);
}

void TLocalStorePage::UseFound(int index) {
  if (index < 1 || static_cast<std::size_t>(index) > found_.size()) return;
  const auto& x = found_[static_cast<std::size_t>(index - 1)];
  QLineEdit* edit = x.tasks ? Tasks : Calendars;
  const QString path = Q(x.path);
  if (!edit->text().split(';').contains(path))
    edit->setText(edit->text().isEmpty() ? path : edit->text() + ";" + path);
  Found->setCurrentIndex(0);
}

TStoreFields TLocalStorePage::Fields() const {
  TStoreFields f;
  f.calendars = Calendars->text().trimmed().toStdString();
  f.tasks = Tasks->text().trimmed().toStdString();
  for (std::size_t i = 0; i < desktop_.size(); ++i) {
    const QListWidgetItem* item = Desktop->item(static_cast<int>(i));
    if (item == nullptr || item->checkState() != Qt::Checked) continue;
    std::string& list = desktop_[i].tasks ? f.tasks : f.calendars;
    list += (list.empty() ? "" : ";") + desktop_[i].entry;
  }
  f.inbox = Inbox->text().trimmed().toStdString();
  f.account = rbAccount->isChecked();
  f.server = Server->text().trimmed().toStdString();
  f.port = Port->text().toInt();
  if (f.port <= 0) f.port = 587;
  f.user = User->text().trimmed().toStdString();
  f.password = Password->text().toStdString();
  f.sendmail = Sendmail->text().trimmed().toStdString();
  return f;
}

void TLocalStorePage::SendTestClick() {
  TStoreSetup* setup = Setup();
  if (setup == nullptr) return;
  std::string address;
  settings::GetPhoneAddress(Settings(), address);
  TestResult->setText("Sending to " + Q(address) + "...");
  TestResult->repaint();
  const std::string error = setup->SendTest(Fields(), address);
  TestResult->setText(error.empty() ? "Sent to " + Q(address) + ". Check your phone."
                                    : "Not sent: " + Q(error));
}

void TLocalStorePage::DoNext() {
  if (TStoreSetup* setup = Setup()) {
    const TStoreFields fields = Fields();
    const std::string error = setup->Check(fields);
    if (!error.empty()) {
      // The keyboard waits where the missing answer goes.
      QLineEdit* way = rbAccount->isChecked() ? Server : Sendmail;
      if (way->text().trimmed().isEmpty()) way->setFocus();
      throw std::runtime_error(error);
    }
    const std::vector<std::string> unreadable = setup->Unreadable(fields);
    if (!unreadable.empty()) {
      QString list;
      for (const auto& u : unreadable) list += "\n" + Q(u);
      const QString question =
          (unreadable.size() == 1 ? "This cannot be read now:\n" : "These cannot be read now:\n") +
          list + "\n\nKeep " + (unreadable.size() == 1 ? "it" : "them") +
          " anyway? Ravenox reads what it can, and its status line says what it cannot.";
      TMainForm* form = Installer().MainForm();
      TWizardDialogs* dialogs = form != nullptr ? form->Context().dialogs : nullptr;
      if (dialogs != nullptr && !dialogs->Warning(this, "Warning", question)) {
        Calendars->setFocus();
        return;  // stays on the page to mend them
      }
    }
    // Written when the run ends with Done, like every other setting.
    setup->Keep(fields);
  }
  TGenericFrame::DoNext();
}

}  // namespace ravenox::wizard
