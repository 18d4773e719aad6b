// The page base: the button row (Help, Back, Next, Cancel), their actions and the Enter key.
#pragma once

#include <QAction>
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "settings/Settings.h"

namespace ravenox::wizard {

class TBaseInstaller;
class TMainForm;

inline constexpr int kFrameWidth = 425;

// The face the wizard is laid out for: 8 points, 11 pixels high.
QFont WizardFace();
inline constexpr int kFrameHeight = 390;

class TGenericFrame : public QFrame {
  Q_OBJECT

 public:
  explicit TGenericFrame(TBaseInstaller& installer, int width = kFrameWidth);

  QFrame* ButtonPanel;
  QPushButton* HelpButton;
  QFrame* Panel1;
  QPushButton* BackButton;
  QPushButton* NextButton;
  QPushButton* CancelButton;
  QAction* acBack;
  QAction* acNext;
  QAction* acCancel;
  QAction* Enter;

  void acBackExecute();
  void acNextExecute();
  void acCancelExecute();
  void ButtonHelpClick();
  void EnterExecute();

  virtual void DoBack();
  virtual void DoNext();
  virtual void DoCancel();
  // Called each time the sequence mounts the page.
  virtual void PageShown();

 protected:
  // After a page has set up its own controls: the Help button shows only with a help context, and
  // Back takes Next's place when Next is not offered.
  void Loaded();
  TBaseInstaller& Installer() const { return installer_; }
  // The current settings (the main window's).
  settings::TSettings& Settings() const;
  // Places a label: wrapping within `width` (and `height`, when given), or sized to its text.
  QLabel* AddLabel(const QString& text, int left, int top, int width = 0, int height = 0);
  // A check box without caption at the options' left edge; its text is a separate wrapping label,
  // which does not toggle it.
  QCheckBox* AddOptionBox(int top);
  // Keeps a label that runs into the control it names clear of it: the label ends a little before
  // the control (the face may be wider than the one the layout was measured for).
  static void KeepBefore(QLabel* label, const QWidget* control);
  void resizeEvent(QResizeEvent* e) override;
  // While Next is not on offer the keyboard starts at the page's first input rather than nowhere
  // (or on Cancel, where the toolkit moves the focus from a button that is greyed).
  void FocusFirstInputUnlessNext();

 private:
  // Runs a step with the button row disabled; a failure is reported, the row enabled again.
  void Step(void (TGenericFrame::*step)());

  TBaseInstaller& installer_;
};

}  // namespace ravenox::wizard
