#include "app/Banner.h"

#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QWidget>

namespace ostrevo {

QWidget* MakeBanner(QWidget* parent, const QString& heading, const QPixmap& picture) {
  auto* banner = new QFrame(parent);
  banner->setObjectName(QStringLiteral("PnlBanner"));
  banner->setAutoFillBackground(true);
  QPalette palette = banner->palette();
  palette.setColor(QPalette::Window, Qt::white);
  banner->setPalette(palette);
  banner->setFrameShape(QFrame::StyledPanel);
  auto* layout = new QHBoxLayout(banner);
  auto* title = new QLabel(heading, banner);
  title->setObjectName(QStringLiteral("LblHeading"));
  QFont font = title->font();
  font.setPointSizeF(font.pointSizeF() * 1.8);
  font.setBold(true);
  title->setFont(font);
  title->setStyleSheet(QStringLiteral("color: #1f4e79;"));
  layout->addWidget(title);
  layout->addStretch(1);
  if (!picture.isNull()) {
    auto* image = new QLabel(banner);
    image->setObjectName(QStringLiteral("ImgBanner"));
    image->setPixmap(picture);
    layout->addWidget(image);
  }
  return banner;
}

QString WithoutAccelerators(const QString& text) {
  QString out = text;
  out.replace(QLatin1Char('&'), QStringLiteral("&&"));
  return out;
}

}  // namespace ostrevo

#include <QScreen>

namespace ostrevo {

void CenterOnScreen(QWidget* window) {
  QScreen* screen = window->screen();
  if (screen == nullptr) return;
  QRect frame = window->frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  window->move(frame.topLeft());
}

}  // namespace ostrevo
