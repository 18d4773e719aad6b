// Controls whose behaviour the pages rely on and that the toolkit's own widgets do not give as
// such: a radio group with an item index, the masked phone number field, and a time picker that
// holds a whole date-time.
#pragma once

#include <QButtonGroup>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimeEdit>
#include <vector>

#include "base/DateTime.h"

namespace ravenox::wizard {

// Radio buttons in a box, filled column by column. The item index is -1 when none is selected;
// setting it beyond the last item selects the last one. Click is emitted whenever the index
// changes, by the user or by the program.
class TRadioGroup final : public QGroupBox {
  Q_OBJECT

 public:
  TRadioGroup(const QString& caption, int columns, QWidget* parent);
  void Clear();
  // "&" marks the access key, "&&" is one "&".
  void Add(const QString& caption);
  int Count() const { return static_cast<int>(buttons_.size()); }
  QRadioButton* Button(int index) const { return buttons_.at(index); }
  int ItemIndex() const;
  void SetItemIndex(int index);

 signals:
  void Click();

 protected:
  void resizeEvent(QResizeEvent* e) override;

 private:
  void Arrange();
  // The captions in the page's face, each fitting its column: the toolkit would cut a caption
  // short where the face is wider than the one the box was sized for. A caption too long for its
  // column goes on two lines where its row has the height; only what fits neither way is set in
  // a smaller face, down to a small one.
  void FitCaptions();

  int columns_;
  QButtonGroup group_;
  std::vector<QRadioButton*> buttons_;
  std::vector<QString> captions_;  // as given, on one line
  int last_index_ = -1;
};

// The cell number field: "(", three digit places, ")", three, "-", four. Its value is the ten
// places in order without the literals; unfilled places before the first filled one are dropped,
// every other unfilled place reads as a blank. So the value has 10 characters exactly when the
// first place is filled, and is empty when none is.
class TCellNumberEdit final : public QLineEdit {
  Q_OBJECT

 public:
  static constexpr int kPlaces = 10;
  explicit TCellNumberEdit(QWidget* parent);
  std::string Value() const;
  // Digits fill the places from the right (a short value leaves the first places unfilled), as the
  // value reads back; blanks stay unfilled in a value of up to ten characters; anything else is
  // ignored.
  void SetValue(const std::string& value);

 signals:
  // Entering or leaving the field.
  void Exit();

 protected:
  void focusInEvent(QFocusEvent* e) override;
  void focusOutEvent(QFocusEvent* e) override;
};

// A time-of-day picker that holds a whole date-time: the date is the picker's own, the user edits
// the time of day only, and setting it from a setting takes only that setting's time of day.
class TDateTimePicker final : public QTimeEdit {
  Q_OBJECT

 public:
  TDateTimePicker(TDateTime initial, QWidget* parent);
  TDateTime DateTime() const { return value_; }
  void SetDateTime(TDateTime value);
  // Keeps the picker's date and takes the time of day of `value`.
  void SetTime(TDateTime value);

 private:
  void Show();

  TDateTime value_;
};

}  // namespace ravenox::wizard
