// The white strip with a heading across the top of the application's windows.
#pragma once

#include <QPixmap>
#include <QString>

class QWidget;

namespace ostrevo {

// A banner with `heading` on the left and, when given, `picture` on the right.
QWidget* MakeBanner(QWidget* parent, const QString& heading, const QPixmap& picture = QPixmap());

// Doubles every '&' so that a text shows as it is on a button or label.
QString WithoutAccelerators(const QString& text);

}  // namespace ostrevo

namespace ostrevo {

// Moves a top-level window to the middle of its screen.
void CenterOnScreen(QWidget* window);

}  // namespace ostrevo
