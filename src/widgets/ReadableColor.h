#pragma once

#include <QColor>

// The contrast of two colours by the WCAG 2 formula: (L1 + 0.05) / (L2 + 0.05) of their relative
// luminances, the lighter one above; from 1 (equal) to 21 (black on white).
double ContrastRatio(const QColor& a, const QColor& b);

// Black or white, whichever stands out more against background. Either one reaches at least
// 4.5:1 against any colour, so text in it stays readable on every group colour.
QColor ReadableTextColor(const QColor& background);
