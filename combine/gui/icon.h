// The combine window's icon: two entries merging into one.
#pragma once

#include <QIcon>

// The 32 x 32 icon, drawn in colours of the sixteen-colour palette.
QIcon drawIcon();
