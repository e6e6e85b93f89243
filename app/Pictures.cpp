#include "app/Pictures.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace ostrevo {

namespace {

QPixmap Blank(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

}  // namespace

QPixmap TickPicture(int size) {
  QPixmap pixmap = Blank(size);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QPen pen(QColor(0x2e, 0x8b, 0x3a), size / 6.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  painter.setPen(pen);
  QPainterPath tick;
  tick.moveTo(size * 0.18, size * 0.55);
  tick.lineTo(size * 0.42, size * 0.78);
  tick.lineTo(size * 0.84, size * 0.24);
  painter.drawPath(tick);
  return pixmap;
}

QPixmap GlobePicture(int size) {
  QPixmap pixmap = Blank(size);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF globe(size * 0.08, size * 0.08, size * 0.84, size * 0.84);
  painter.setPen(QPen(QColor(0x1f, 0x4e, 0x79), size / 40.0));
  painter.setBrush(QColor(0xd6, 0xe9, 0xf8));
  painter.drawEllipse(globe);
  painter.setBrush(Qt::NoBrush);
  for (double k : {0.25, 0.5, 0.75}) {  // meridians
    const double w = globe.width() * k;
    painter.drawEllipse(QRectF(globe.center().x() - w / 2, globe.top(), w, globe.height()));
  }
  for (double y : {0.3, 0.5, 0.7}) {  // parallels
    const double yy = globe.top() + globe.height() * y;
    const double half = globe.width() / 2 * std::sqrt(1 - std::pow((y - 0.5) * 2, 2));
    painter.drawLine(QPointF(globe.center().x() - half, yy),
                     QPointF(globe.center().x() + half, yy));
  }
  // A route from one pin to another.
  const QPointF from(size * 0.3, size * 0.62);
  const QPointF to(size * 0.72, size * 0.36);
  QPen route(QColor(0xc0, 0x5a, 0x00), size / 25.0, Qt::DashLine, Qt::RoundCap);
  painter.setPen(route);
  QPainterPath arc;
  arc.moveTo(from);
  arc.quadTo(QPointF(size * 0.45, size * 0.2), to);
  painter.drawPath(arc);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0xc0, 0x30, 0x20));
  for (const QPointF& pin : {from, to}) painter.drawEllipse(pin, size / 18.0, size / 18.0);
  return pixmap;
}

QPixmap ParcelPicture(int size) {
  QPixmap pixmap = Blank(size);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(0x6b, 0x45, 0x1e), size / 20.0));
  painter.setBrush(QColor(0xd9, 0xa8, 0x62));
  const QRectF box(size * 0.12, size * 0.22, size * 0.76, size * 0.6);
  painter.drawRect(box);
  painter.setPen(QPen(QColor(0x8a, 0x5a, 0x2b), size / 12.0));
  painter.drawLine(QPointF(box.center().x(), box.top()), QPointF(box.center().x(), box.bottom()));
  painter.drawLine(QPointF(box.left(), box.top() + box.height() * 0.35),
                   QPointF(box.right(), box.top() + box.height() * 0.35));
  return pixmap;
}

}  // namespace ostrevo
