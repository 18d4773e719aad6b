#include "wizard/FrameAgentInitial.h"

#include <QEvent>
#include <QFontMetrics>
#include <QTextDocument>
#include <algorithm>

namespace ravenox::wizard {

QStringList WelcomeLines(TStoreKind store) {
  QStringList lines;
  if (store == TStoreKind::kOutlook) {
    lines << "Welcome to the Ravenox configuration wizard. This program allows you"
          << "to configure Ravenox to link your cell phone with your Microsoft"
          << "Outlook* calendar, appointments, task and urgent e-mails.";
  } else {
    lines << "Welcome to the Ravenox configuration wizard. This program allows you"
          << "to configure Ravenox to link your cell phone with"
          << "your calendar, appointments, task and urgent e-mails.";
  }
  lines << ""
        << "You will need to know your cellular phone provider and your full cellular"
        << "phone number."
        << ""
        << "To exit the configuration wizard click Cancel."
        << "To continue with the configuration wizard click Next>."
        << ""
        << ""
        << "This program is protected by copyright law and international treaties."
        << ""
        << "Copying or distributing this program, or any part of it, without"
        << "permission may lead to severe civil and criminal penalties, and will"
        << "be prosecuted to the fullest extent the law allows.";
  if (store == TStoreKind::kOutlook) {
    lines << ""
          << "Microsoft Outlook is a registered trademark of the Microsoft Corporation.";
  }
  return lines;
}

QString FittedText(const QStringList& lines, const std::function<int(const QString&)>& width,
                   int room) {
  if (std::all_of(lines.begin(), lines.end(),
                  [&](const QString& line) { return width(line) <= room; })) {
    return lines.join('\n');
  }
  QStringList shown;
  bool in_paragraph = false;
  for (const QString& line : lines) {
    if (in_paragraph && !line.isEmpty()) {
      shown.back() += ' ' + line;
    } else {
      shown << line;
    }
    in_paragraph = !line.isEmpty();
  }
  return shown.join('\n');
}

TAgentInitialFrame::TAgentInitialFrame(TBaseInstaller& installer, TStoreKind store)
    : TGenericFrame(installer) {
  acBack->setVisible(false);
  MessageMemo = new QPlainTextEdit(this);
  MessageMemo->setGeometry(27, 27, 374, 306);
  MessageMemo->setReadOnly(true);
  MessageMemo->setFrameShape(QFrame::NoFrame);
  MessageMemo->setFocusPolicy(Qt::NoFocus);
  MessageMemo->setContextMenuPolicy(Qt::NoContextMenu);  // no editing menu
  // The lines were measured for a narrow face; in a wider one a paragraph flows as one.
  MessageMemo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  MessageMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  MessageMemo->setBackgroundRole(QPalette::Button);  // the colour of menus and panels
  MessageMemo->viewport()->setBackgroundRole(QPalette::Button);
  const QFontMetrics metrics(MessageMemo->font());
  const int room =
      MessageMemo->width() - 2 * static_cast<int>(MessageMemo->document()->documentMargin()) - 2;
  MessageMemo->setPlainText(FittedText(
      WelcomeLines(store), [&](const QString& line) { return metrics.horizontalAdvance(line); },
      room));
  MessageMemo->installEventFilter(this);
  MessageMemo->viewport()->installEventFilter(this);
  Loaded();
}

bool TAgentInitialFrame::eventFilter(QObject* watched, QEvent* e) {
  if (watched == MessageMemo || watched == MessageMemo->viewport()) {
    switch (e->type()) {
      case QEvent::FocusIn:
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
        MessageMemoEnter();
        break;
      default:
        break;
    }
  }
  return TGenericFrame::eventFilter(watched, e);
}

void TAgentInitialFrame::MessageMemoEnter() {
  // The text is never a place to type in.
  if (NextButton->isEnabled()) NextButton->setFocus();
}

void TAgentInitialFrame::PageShown() {
  TGenericFrame::PageShown();
}

}  // namespace ravenox::wizard
