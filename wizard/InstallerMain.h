// The wizard window: a fixed-size dialog with the side picture on the left, the current page on the
// right and a status line drawn by the window itself, whose error texts blink.
#pragma once

#include <QColor>
#include <QFrame>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QTimer>
#include <QWidget>
#include <optional>
#include <vector>

#include "wizard/WizardHost.h"

namespace ravenox::wizard {

class TBaseInstaller;
class TMainForm;

inline constexpr int kWizardClientWidth = 612;
inline constexpr int kWizardClientHeight = 413;
inline constexpr int kWizardHelpContext = 25;
inline constexpr int kMainPanelHelpContext = 9999;
// "*** ERROR" and the blank after it: what an error text loses before it is shown.
inline constexpr int kErrorPrefix = 10;

// Where the window goes: centred on the first monitor when there are several; with one monitor,
// centred on the desktop unless the desktop is very wide (two screens seen as one), then centred in
// its left half. `monitors` in the system's order, the first one first.
QPoint WizardPlacement(const std::vector<QRect>& monitors, QSize window);

// The status bar: one panel, drawn by the window's StatusBarDrawPanel.
class TWizardStatusBar final : public QWidget {
  Q_OBJECT

 public:
  explicit TWizardStatusBar(TMainForm* form);
  // The panel's text (what the status line holds).
  QString PanelText() const { return text_; }
  void SetPanelText(const QString& text);
  QColor FontColor() const { return font_color_; }
  void SetFontColor(const QColor& color) { font_color_ = color; }
  // The hint shown when the pointer rests on the bar ("" when hints are off).
  QString Hint() const { return hint_; }
  void SetHint(const QString& hint);
  bool ShowHint() const { return show_hint_; }
  void SetShowHint(bool on);
  // The text drawn at the last paint.
  QString DrawnText() const { return drawn_; }
  void SetDrawnText(const QString& text) { drawn_ = text; }

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  TMainForm* form_;
  QString text_, hint_, drawn_;
  QColor font_color_;
  bool show_hint_ = false;
};

class TMainForm final : public QWidget {
  Q_OBJECT

 public:
  // Made for a run of the wizard, visible at once; `parent` is the main window, which receives the
  // reload and save messages.
  TMainForm(QWidget* parent, TBaseInstaller& installer, TWizardContext context);
  ~TMainForm() override;

  QFrame* TitlePanel;
  QFrame* ImagePanel;
  TWizardStatusBar* StatusBar;
  QFrame* MainPanel;
  QFrame* SpacePanel;
  QTimer Timer1;
  bool BlinkOn = false;
  int32_t BlinkCount = 0;

  const TWizardContext& Context() const { return context_; }
  settings::TSettings& Settings() const { return *context_.settings; }
  TWizardDialogs& Dialogs() const { return *context_.dialogs; }
  // The help page at `help_context` (nothing when the program gave no help).
  void OpenHelp(int help_context) const;

  void FormCreate();
  void FormShow();
  // The close request; true when the close may go on.
  bool FormCloseQuery();
  void FormClose();
  void Timer1Timer();
  void StatusBarDrawPanel(QPainter& painter);

  // The system's window-text colour, the status line's normal one.
  static QColor WindowTextColor();
  static inline const QColor kErrorColor = QColor(255, 0, 0);

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  TBaseInstaller& installer_;
  TWizardContext context_;
};

}  // namespace ravenox::wizard
