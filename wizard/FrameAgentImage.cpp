#include "wizard/FrameAgentImage.h"

#include <QPainter>
#include <QSvgRenderer>

// The picture lives in a resource of a static library: it must be brought in by name.
static void LoadWizardArtwork() {
  static const bool loaded = [] {
    Q_INIT_RESOURCE(wizard);
    return true;
  }();
  (void)loaded;
}

namespace ravenox::wizard {

QImage SidePicture() {
  LoadWizardArtwork();
  QImage image(142, 387, QImage::Format_RGB888);
  image.fill(QColor(0x1f, 0x3b, 0x5c));
  QSvgRenderer svg(QStringLiteral(":/wizard/side.svg"));
  QPainter painter(&image);
  svg.render(&painter, QRectF(0, 0, image.width(), image.height()));
  return image;
}

TImageFrame::TImageFrame(QWidget* parent) : QWidget(parent), Image1(SidePicture()) {}

void TImageFrame::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(rect(), Image1);
}

}  // namespace ravenox::wizard
