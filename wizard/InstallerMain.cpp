#include "wizard/InstallerMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QShowEvent>
#include <QStyleOptionFrame>

#include "wizard/BaseFrame.h"
#include "wizard/BaseInstaller.h"

namespace ravenox::wizard {
namespace {

constexpr int kImagePanelWidth = 145;
constexpr int kStatusBarHeight = 21;
constexpr int kSpacePanelWidth = 17;
constexpr int kFirstTickMs = 1000;
constexpr int kBlinkMs = 500;
constexpr int kRedCounts = 12;  // counts below this alternate red and normal
constexpr int kLastCount = 13;  // after this one the timer rests
constexpr int kLongText = 150;

}  // namespace

QPoint WizardPlacement(const std::vector<QRect>& monitors, QSize window) {
  if (monitors.empty()) return {0, 0};
  const QRect& m = monitors.front();
  const int top = m.top() + m.height() / 2 - window.height() / 2;
  if (monitors.size() >= 2) return {m.left() + m.width() / 2 - window.width() / 2, top};
  if (m.height() * 1.7 >= m.width()) {
    // Centred on the desktop.
    return {m.left() + (m.width() - window.width()) / 2,
            m.top() + (m.height() - window.height()) / 2};
  }
  // A very wide desktop, two screens seen as one: the middle of its left half.
  return {m.left() + m.width() / 4 - window.width() / 2, top};
}

// --- Status bar --------------------------------------------------------------------------------

TWizardStatusBar::TWizardStatusBar(TMainForm* form)
    : QWidget(form), form_(form), font_color_(TMainForm::WindowTextColor()) {}

void TWizardStatusBar::SetPanelText(const QString& text) {
  text_ = text;
  update();
}

void TWizardStatusBar::SetHint(const QString& hint) {
  hint_ = hint;
  setToolTip(show_hint_ ? hint_ : QString());
}

void TWizardStatusBar::SetShowHint(bool on) {
  show_hint_ = on;
  setToolTip(show_hint_ ? hint_ : QString());
}

void TWizardStatusBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QStyleOptionFrame frame;
  frame.initFrom(this);
  frame.rect = rect().adjusted(0, 2, 0, 0);
  frame.lineWidth = 1;
  frame.frameShape = QFrame::Panel;
  frame.state |= QStyle::State_Sunken;
  style()->drawPrimitive(QStyle::PE_Frame, &frame, &painter, this);
  form_->StatusBarDrawPanel(painter);
}

// --- Window ------------------------------------------------------------------------------------

TMainForm::TMainForm(QWidget* parent, TBaseInstaller& installer, TWizardContext context)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      installer_(installer),
      context_(std::move(context)) {
  setWindowTitle("Ravenox Configuration Wizard");
  setFixedSize(kWizardClientWidth, kWizardClientHeight);
  setFont(WizardFace());

  const int body = kWizardClientHeight - kStatusBarHeight;
  TitlePanel = new QFrame(this);
  TitlePanel->setGeometry(0, 0, kWizardClientWidth, 0);
  ImagePanel = new QFrame(this);
  ImagePanel->setGeometry(0, 0, kImagePanelWidth, body);
  ImagePanel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  ImagePanel->setLineWidth(2);
  auto* image_layout = new QHBoxLayout(ImagePanel);
  image_layout->setContentsMargins(2, 2, 2, 2);
  StatusBar = new TWizardStatusBar(this);
  StatusBar->setGeometry(0, body, kWizardClientWidth, kStatusBarHeight);
  MainPanel = new QFrame(this);
  MainPanel->setGeometry(kImagePanelWidth, 0, kWizardClientWidth - kImagePanelWidth, body);
  auto* main_layout = new QHBoxLayout(MainPanel);
  main_layout->setContentsMargins(0, 0, 0, 0);
  main_layout->setSpacing(0);
  SpacePanel = new QFrame(MainPanel);
  SpacePanel->setFixedWidth(kSpacePanelWidth);
  main_layout->addWidget(SpacePanel);

  Timer1.setInterval(kFirstTickMs);
  connect(&Timer1, &QTimer::timeout, this, &TMainForm::Timer1Timer);
  Timer1.start();
  FormCreate();
  show();
}

TMainForm::~TMainForm() = default;

QColor TMainForm::WindowTextColor() {
  return QApplication::palette().color(QPalette::WindowText);
}

void TMainForm::FormCreate() {
  std::vector<QRect> monitors;
  for (const QScreen* screen : QGuiApplication::screens()) monitors.push_back(screen->geometry());
  if (QGuiApplication::primaryScreen() != nullptr && monitors.size() > 1) {
    // The system's first monitor is its primary one.
    const QRect primary = QGuiApplication::primaryScreen()->geometry();
    std::stable_partition(monitors.begin(), monitors.end(),
                          [&](const QRect& r) { return r == primary; });
  }
  move(WizardPlacement(monitors, size()));
  installer_.SetMainForm(this);
}

void TMainForm::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (!Timer1.isActive()) Timer1.start();
  // A run starts when the window is shown, not when it comes back from being minimised.
  if (e->spontaneous()) return;
  FormShow();
  // The wizard is there to be answered: it takes the keyboard (also where no window manager gives
  // a new window the focus).
  activateWindow();
}

void TMainForm::FormShow() {
  installer_.Start();
}

void TMainForm::closeEvent(QCloseEvent* e) {
  if (!FormCloseQuery()) {
    e->ignore();
    return;
  }
  if (!installer_.Finished && parentWidget() != nullptr) {
    QCoreApplication::postEvent(parentWidget(), new QEvent(WM_RELOAD_SETTINGS));
  }
  e->accept();    // hidden, not destroyed
  Timer1.stop();  // a closed wizard costs nothing while the program runs on
  FormClose();
}

bool TMainForm::FormCloseQuery() {
  if (installer_.Finished) return true;
  return Dialogs().Warning(this, "Warning",
                           "Are you sure you want to exit the configuration Wizard?");
}

void TMainForm::FormClose() {
  installer_.WizardClosed();
}

void TMainForm::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_F1) {
    const QWidget* focus = focusWidget();
    OpenHelp(focus != nullptr && MainPanel->isAncestorOf(focus) ? kMainPanelHelpContext
                                                                : kWizardHelpContext);
    return;
  }
  if (e->key() == Qt::Key_Escape) {
    close();  // as Cancel: with the question
    return;
  }
  QWidget::keyPressEvent(e);
}

void TMainForm::OpenHelp(int help_context) const {
  if (context_.help) context_.help(help_context);
}

void TMainForm::StatusBarDrawPanel(QPainter& painter) {
  TWizardStatusBar& bar = *StatusBar;
  const QString text = bar.PanelText();
  if (bar.Hint() != text) {
    bar.SetHint(text);
    bar.SetShowHint(true);
  }
  if (text.isEmpty()) bar.SetShowHint(false);
  painter.setFont(bar.font());

  // An over-long text is cut after its first sentence (or, without one, loses its first ten
  // characters). Only what is drawn is cut: the status line keeps its text, so painting it again
  // draws the same.
  QString shown = text;
  if (shown.size() > kLongText) {
    // Positions counted from 1, 0 for none, as the rule is written.
    const qsizetype sentence = shown.indexOf(". ") + 1;
    const qsizetype dot = shown.indexOf('.') + 1;
    if (sentence != shown.size() - 1 && dot != shown.size()) {
      QString cut = shown.left(sentence + 1);
      if (cut.size() < 5) cut = shown.mid(kErrorPrefix);
      shown = cut;
    }
  }
  const QString drawn = shown.startsWith("*** ER") ? shown.mid(kErrorPrefix) : shown;
  bar.SetDrawnText(drawn);
  painter.setPen(bar.FontColor());
  painter.drawText(QRect(4, 4, bar.width() - 8, bar.height() - 4),
                   Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, drawn);
  if (!shown.startsWith("*** ERROR")) {
    BlinkCount = 1;
    BlinkOn = false;
  }
}

void TMainForm::Timer1Timer() {
  if (BlinkCount > kLastCount) return;
  TWizardStatusBar& bar = *StatusBar;
  Timer1.setInterval(kBlinkMs);
  if (bar.PanelText().startsWith("*** ER")) {
    BlinkOn = BlinkCount < kRedCounts;
    if (BlinkOn && bar.FontColor() == WindowTextColor()) {
      bar.SetFontColor(kErrorColor);
      bar.SetPanelText(bar.PanelText());
    } else {
      bar.SetFontColor(WindowTextColor());
    }
    bar.update();
    bar.repaint();
    ++BlinkCount;
    QCoreApplication::processEvents();
    return;
  }
  BlinkOn = false;
  BlinkCount = 1;
  if (bar.FontColor() != WindowTextColor()) {
    bar.SetFontColor(WindowTextColor());
    bar.repaint();
  }
}

}  // namespace ravenox::wizard
