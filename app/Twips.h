#pragma once

#include <optional>

class QWidget;

// The window layout is designed in twips: 15 twips make one pixel at 96 dpi, scaled by the
// screen's logical dpi so the layout keeps its proportions on any screen.
namespace Twips {

int toPixelsX(int twips, const QWidget *widget = nullptr);
int toPixelsY(int twips, const QWidget *widget = nullptr);
int fromPixelsX(int pixels, const QWidget *widget = nullptr);
int fromPixelsY(int pixels, const QWidget *widget = nullptr);
// Twips per pixel on the widget's screen (15 at 96 dpi).
double perPixelX(const QWidget *widget = nullptr);
double perPixelY(const QWidget *widget = nullptr);
// Test seam: the dpi every conversion uses instead of the screen's.
void setDpiForTest(std::optional<double> dpi);

} // namespace Twips
