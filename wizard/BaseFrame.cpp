#include "wizard/BaseFrame.h"

#include <QApplication>
#include <QResizeEvent>
#include <algorithm>
#include <exception>

#include "wizard/BaseInstaller.h"
#include "wizard/InstallerMain.h"

namespace ravenox::wizard {
namespace {

constexpr int kButtonPanelHeight = 39;
constexpr int kPanel1Width = 258;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kButtonTop = 5;
constexpr int kBackLeft = 7;
constexpr int kNextLeft = 91;
constexpr int kCancelLeft = 175;

}  // namespace

QFont WizardFace() {
  QFont face;
  face.setPixelSize(11);
  return face;
}

TGenericFrame::TGenericFrame(TBaseInstaller& installer, int width) : installer_(installer) {
  // Measured in the wizard's face from the start: the labels are sized to their text here.
  setFont(WizardFace());
  resize(width, kFrameHeight);
  ButtonPanel = new QFrame(this);
  HelpButton = new QPushButton("&Help", ButtonPanel);
  HelpButton->setGeometry(12, kButtonTop, kButtonWidth, kButtonHeight);
  HelpButton->setProperty("helpContext", 0);
  connect(HelpButton, &QPushButton::clicked, this, &TGenericFrame::ButtonHelpClick);
  Panel1 = new QFrame(ButtonPanel);

  acBack = new QAction("< &Back", this);
  acNext = new QAction("&Next >", this);
  acCancel = new QAction("Cancel", this);
  Enter = new QAction("Enter", this);
  // The Enter key belongs to whichever page the window holds.
  Enter->setShortcuts({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
  Enter->setShortcutContext(Qt::WindowShortcut);
  addAction(Enter);
  connect(acBack, &QAction::triggered, this, &TGenericFrame::acBackExecute);
  connect(acNext, &QAction::triggered, this, &TGenericFrame::acNextExecute);
  connect(acCancel, &QAction::triggered, this, &TGenericFrame::acCancelExecute);
  connect(Enter, &QAction::triggered, this, &TGenericFrame::EnterExecute);

  // Each button shows its action; the pages enable and disable the buttons themselves, never the
  // actions.
  auto button = [this](QAction* action, int left) {
    auto* b = new QPushButton(action->text(), Panel1);
    b->setGeometry(left, kButtonTop, kButtonWidth, kButtonHeight);
    b->setAutoDefault(false);
    connect(b, &QPushButton::clicked, action, &QAction::trigger);
    connect(action, &QAction::changed, b, [b, action] {
      b->setText(action->text());
      b->setVisible(action->isVisible());
    });
    return b;
  };
  BackButton = button(acBack, kBackLeft);
  NextButton = button(acNext, kNextLeft);
  CancelButton = button(acCancel, kCancelLeft);
  setTabOrder(HelpButton, BackButton);
  setTabOrder(BackButton, NextButton);
  setTabOrder(NextButton, CancelButton);
}

QLabel* TGenericFrame::AddLabel(const QString& text, int left, int top, int width, int height) {
  auto* label = new QLabel(text, this);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  if (width == 0) {
    label->move(left, top);
    label->adjustSize();
  } else {
    label->setWordWrap(true);
    // A face wider than the layout's may need another line: never cut the text off.
    label->setGeometry(left, top, width, std::max(height, label->heightForWidth(width)));
  }
  return label;
}

QCheckBox* TGenericFrame::AddOptionBox(int top) {
  auto* box = new QCheckBox(this);
  box->setGeometry(33, top, 16, 41);
  return box;
}

void TGenericFrame::KeepBefore(QLabel* label, const QWidget* control) {
  constexpr int kGap = 6;
  const int overlap = label->x() + label->width() + kGap - control->x();
  if (overlap > 0) label->move(std::max(0, label->x() - overlap), label->y());
}

void TGenericFrame::resizeEvent(QResizeEvent* e) {
  QFrame::resizeEvent(e);
  ButtonPanel->setGeometry(0, height() - kButtonPanelHeight, width(), kButtonPanelHeight);
  Panel1->setGeometry(width() - kPanel1Width, 0, kPanel1Width, kButtonPanelHeight);
}

void TGenericFrame::Loaded() {
  HelpButton->setVisible(HelpButton->property("helpContext").toInt() != 0);
  BackButton->setVisible(acBack->isVisible());
  if (!acNext->isVisible()) BackButton->move(kNextLeft, kButtonTop);
}

settings::TSettings& TGenericFrame::Settings() const {
  return installer_.MainForm()->Settings();
}

void TGenericFrame::Step(void (TGenericFrame::*step)()) {
  ButtonPanel->setEnabled(false);
  try {
    (this->*step)();
  } catch (const std::exception& e) {
    ButtonPanel->setEnabled(true);
    if (installer_.MainForm() != nullptr) {
      installer_.MainForm()->Dialogs().Error(installer_.MainForm(), QString::fromUtf8(e.what()));
    }
    return;
  }
  ButtonPanel->setEnabled(true);
}

void TGenericFrame::acBackExecute() {
  Step(&TGenericFrame::DoBack);
}

void TGenericFrame::acNextExecute() {
  Step(&TGenericFrame::DoNext);
}

void TGenericFrame::acCancelExecute() {
  DoCancel();
}

void TGenericFrame::ButtonHelpClick() {
  if (installer_.MainForm() != nullptr) {
    installer_.MainForm()->OpenHelp(HelpButton->property("helpContext").toInt());
  }
}

void TGenericFrame::EnterExecute() {
  const QWidget* focus = QApplication::focusWidget();
  if (focus == CancelButton) {
    acCancel->trigger();
  } else if (focus == HelpButton) {
    ButtonHelpClick();
  } else if (focus == BackButton) {
    acBack->trigger();
  } else {
    // Also while the Next button is greyed: each page's DoNext applies its own rule.
    acNext->trigger();
  }
}

void TGenericFrame::DoBack() {
  installer_.PreviousPage();
}

void TGenericFrame::DoNext() {
  installer_.NextPage();
}

void TGenericFrame::DoCancel() {
  installer_.CancelWizard();
}

void TGenericFrame::PageShown() {
  FocusFirstInputUnlessNext();
}

void TGenericFrame::FocusFirstInputUnlessNext() {
  if (NextButton->isEnabled()) {
    NextButton->setFocus();
    return;
  }
  for (QWidget* w = nextInFocusChain(); w != this && w != nullptr; w = w->nextInFocusChain()) {
    if (isAncestorOf(w) && !ButtonPanel->isAncestorOf(w) && (w->focusPolicy() & Qt::TabFocus) &&
        w->isEnabled() && w->isVisibleTo(this)) {
      w->setFocus(Qt::TabFocusReason);  // as if tabbed to: its focus mark shows
      return;
    }
  }
}

}  // namespace ravenox::wizard
