#include "wizard/WizardControls.h"

#include <QFontInfo>
#include <QGridLayout>
#include <QLocale>
#include <QRegularExpression>
#include <QResizeEvent>
#include <algorithm>
#include <cmath>

namespace ravenox::wizard {

// --- Radio group -------------------------------------------------------------------------------

TRadioGroup::TRadioGroup(const QString& caption, int columns, QWidget* parent)
    : QGroupBox(caption, parent), columns_(columns) {
  new QGridLayout(this);
  connect(&group_, &QButtonGroup::idToggled, this, [this](int, bool checked) {
    if (!checked) return;
    const int now = ItemIndex();
    if (now != last_index_) {
      last_index_ = now;
      emit Click();
    }
  });
}

void TRadioGroup::Clear() {
  SetItemIndex(-1);
  for (QRadioButton* b : buttons_) {
    group_.removeButton(b);
    delete b;
  }
  buttons_.clear();
  captions_.clear();
  last_index_ = -1;
}

void TRadioGroup::Add(const QString& caption) {
  auto* button = new QRadioButton(caption, this);
  group_.addButton(button, static_cast<int>(buttons_.size()));
  buttons_.push_back(button);
  captions_.push_back(caption);
  button->show();  // now, not when the layout gets round to it: the page may focus it at once
  Arrange();
}

void TRadioGroup::Arrange() {
  auto* grid = static_cast<QGridLayout*>(layout());
  const int count = Count();
  const int rows = (count + columns_ - 1) / columns_;
  for (int i = 0; i < count; ++i) {
    grid->removeWidget(buttons_[i]);
    grid->addWidget(buttons_[i], i % rows, i / rows);
  }
  FitCaptions();
  grid->activate();  // placed now, so a click can reach a button at once
}

void TRadioGroup::resizeEvent(QResizeEvent* e) {
  QGroupBox::resizeEvent(e);
  FitCaptions();
}

void TRadioGroup::FitCaptions() {
  if (buttons_.empty()) return;
  const QMargins margins = layout()->contentsMargins();
  const int spacing = std::max(0, static_cast<QGridLayout*>(layout())->horizontalSpacing());
  // The columns take what their widest caption needs, so they fit when those widths do together.
  const int room =
      contentsRect().width() - margins.left() - margins.right() - spacing * (columns_ - 1);
  const int rows = (Count() + columns_ - 1) / columns_;
  auto needed = [&] {
    int total = 0;
    for (int column = 0; column * rows < Count(); ++column) {
      int widest = 0;
      for (int i = column * rows; i < std::min(Count(), (column + 1) * rows); ++i) {
        widest = std::max(widest, buttons_[i]->sizeHint().width());
      }
      total += widest;
    }
    return total;
  };
  constexpr int kSmallest = 8;
  const int largest = font().pixelSize() > 0 ? font().pixelSize() : QFontInfo(font()).pixelSize();
  // Two lines where a row has room for them.
  const int row_height = (contentsRect().height() - margins.top() - margins.bottom()) / rows;
  // Where a caption breaks to fit `width` in the buttons' face: at the last blank that lets its
  // first line fit (a button holding it measures it); none when one line fits or no break does.
  auto wrapped = [&](QRadioButton* b, const QString& caption, int width) {
    b->setText(caption);
    if (b->sizeHint().width() <= width) return caption;
    for (int at = caption.lastIndexOf(' '); at > 0; at = caption.lastIndexOf(' ', at - 1)) {
      const QString two = caption.left(at) + "\n" + caption.mid(at + 1);
      b->setText(two);
      if (b->sizeHint().width() <= width)
        return b->sizeHint().height() <= row_height ? two : caption;
    }
    return caption;
  };
  QFont face = font();
  const int per_column = room / std::max(1, columns_);
  for (int size = largest; size >= kSmallest; --size) {
    face.setPixelSize(size);
    for (std::size_t i = 0; i < buttons_.size(); ++i) {
      buttons_[i]->setFont(face);
      buttons_[i]->setText(wrapped(buttons_[i], captions_[i], per_column));
    }
    if (needed() <= room) break;
  }
  // Still too wide in the smallest face: the whole caption is there when the pointer rests on it.
  const bool cut = needed() > room;
  for (std::size_t i = 0; i < buttons_.size(); ++i) {
    buttons_[i]->setToolTip(cut ? QString(captions_[i]).remove(QRegularExpression("&(?!&)"))
                                : QString());
  }
}

int TRadioGroup::ItemIndex() const {
  return group_.checkedId();
}

void TRadioGroup::SetItemIndex(int index) {
  if (index >= Count()) index = Count() - 1;
  if (index < 0) {
    // An exclusive group cannot be cleared button by button.
    group_.setExclusive(false);
    for (QRadioButton* b : buttons_) b->setChecked(false);
    group_.setExclusive(true);
    if (last_index_ != -1) {
      last_index_ = -1;
      emit Click();
    }
    return;
  }
  buttons_[index]->setChecked(true);
}

// --- Cell number field ---------------------------------------------------------------------------

namespace {

// Where the digit places are in the shown text "(___)___-____".
constexpr int kPlaceAt[TCellNumberEdit::kPlaces] = {1, 2, 3, 5, 6, 7, 9, 10, 11, 12};
constexpr char kUnfilled = '_';

}  // namespace

TCellNumberEdit::TCellNumberEdit(QWidget* parent) : QLineEdit(parent) {
  setInputMask("(000)000-0000;_");
}

std::string TCellNumberEdit::Value() const {
  const QString shown = displayText();
  std::string value;
  for (const int at : kPlaceAt) {
    const QChar c = at < shown.size() ? shown[at] : QChar(kUnfilled);
    const bool filled = c.isDigit() && c.unicode() < 128;
    if (!filled && value.empty()) continue;  // unfilled places before the first filled one
    value += filled ? static_cast<char>(c.unicode()) : ' ';
  }
  return value;
}

void TCellNumberEdit::SetValue(const std::string& value) {
  // A value the field itself gave keeps its blanks; a longer one (written by hand, say
  // "(555) 123-4567") gives its digits only.
  const bool own = value.size() <= kPlaces;
  std::string places;
  for (const char c : value) {
    if ((c >= '0' && c <= '9') || (own && c == ' ')) places += c;
  }
  if (places.size() > kPlaces) places.resize(kPlaces);
  places.insert(0, kPlaces - places.size(), ' ');
  QString shown = "(___)___-____";
  for (int i = 0; i < kPlaces; ++i) {
    shown[kPlaceAt[i]] = places[i] == ' ' ? QChar(kUnfilled) : QChar(places[i]);
  }
  setText(shown);
  setCursorPosition(0);  // typing starts at the first place
}

void TCellNumberEdit::focusInEvent(QFocusEvent* e) {
  QLineEdit::focusInEvent(e);
  emit Exit();
}

void TCellNumberEdit::focusOutEvent(QFocusEvent* e) {
  QLineEdit::focusOutEvent(e);
  emit Exit();
}

// --- Time picker -------------------------------------------------------------------------------

namespace {

constexpr double kMsPerDay = 86400000.0;

// The time of day of a date-time; the whole-day part does not matter, nor its sign.
double DayFraction(TDateTime t) {
  double whole = 0.0;
  return std::fabs(std::modf(t.Value(), &whole));
}

}  // namespace

TDateTimePicker::TDateTimePicker(TDateTime initial, QWidget* parent)
    : QTimeEdit(parent), value_(initial) {
  // The system's own short time format, to the minute.
  QString format = QLocale::system().timeFormat(QLocale::ShortFormat);
  format.remove(QRegularExpression("[:.]ss?"));
  setDisplayFormat(format);
  setWrapping(true);
  Show();
  connect(this, &QTimeEdit::timeChanged, this, [this](QTime t) {
    // Edited by the user: the picker's date with the new time of day.
    double whole = 0.0;
    std::modf(value_.Value(), &whole);
    value_ = whole + t.msecsSinceStartOfDay() / kMsPerDay;
  });
}

void TDateTimePicker::SetDateTime(TDateTime value) {
  value_ = value;
  Show();
}

void TDateTimePicker::SetTime(TDateTime value) {
  double whole = 0.0;
  std::modf(value_.Value(), &whole);
  value_ = whole + DayFraction(value);
  Show();
}

void TDateTimePicker::Show() {
  const QSignalBlocker quiet(this);
  const auto ms = static_cast<int>(std::llround(DayFraction(value_) * kMsPerDay));
  setTime(QTime::fromMSecsSinceStartOfDay(std::min(ms, static_cast<int>(kMsPerDay) - 1)));
}

}  // namespace ravenox::wizard
