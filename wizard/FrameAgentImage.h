// The side picture beside every page.
#pragma once

#include <QImage>
#include <QWidget>

namespace ravenox::wizard {

// The picture as drawn for the program: 142 x 387 pixels, 24-bit colour.
QImage SidePicture();

class TImageFrame final : public QWidget {
  Q_OBJECT

 public:
  explicit TImageFrame(QWidget* parent = nullptr);
  // Stretched to fill the frame.
  QImage Image1;

 protected:
  void paintEvent(QPaintEvent* e) override;
};

}  // namespace ravenox::wizard
