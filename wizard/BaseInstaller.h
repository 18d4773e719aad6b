// The page sequence: mounts one page at a time in the current wizard window and decides which page
// follows which. It outlives every wizard window; its pages carry over from one run to the next.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

namespace ravenox::wizard {

class TGenericFrame;
class TMainForm;

class TBaseInstaller {
 public:
  TBaseInstaller() = default;
  TBaseInstaller(const TBaseInstaller&) = delete;
  TBaseInstaller& operator=(const TBaseInstaller&) = delete;
  virtual ~TBaseInstaller();

  virtual void CreatePages() {}
  virtual TGenericFrame* FirstPage() = 0;
  virtual QString GetStatusText();
  // Sets the status line; a text with "*** ERROR" in it is shown in an error box instead, without
  // its first ten characters.
  virtual void SetStatusText(const QString& text);
  virtual void WizardClosed() {}
  virtual void PreviousPage() {}
  // The Next transition, and the end of the run after the last page.
  virtual void NextPage() {}
  // Closes the current wizard window the ordinary way (with the close question).
  virtual void CancelWizard();
  virtual void FinishWizard();

  // Begins a run in the current wizard window.
  void Start();
  void ShowPage(TGenericFrame* page);
  // Makes `frame` fill `panel`.
  static void MountFrame(QWidget* frame, QWidget* panel);

  // The current wizard window; each new window records itself here.
  TMainForm* MainForm() const { return main_form_; }
  void SetMainForm(TMainForm* form) { main_form_ = form; }

  QPointer<TGenericFrame> CurrentPage;
  QPointer<QWidget> ImagePage;
  bool Finished = false;

 protected:
  // Pages that no window holds are this object's to delete; the others go with their window.
  static void DeletePage(QWidget* page);

 private:
  QPointer<TMainForm> main_form_;
};

}  // namespace ravenox::wizard
