// The application's pictures, drawn here so that no image files ship with it.
#pragma once

#include <QPixmap>

namespace ostrevo {

// A green tick on a transparent square.
QPixmap TickPicture(int size);
// The banner picture: a globe with a route mark between two pins.
QPixmap GlobePicture(int size);
// The bottom strip's picture: a small parcel.
QPixmap ParcelPicture(int size);

}  // namespace ostrevo
