#include "Twips.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <cmath>

namespace {
QScreen *screenOf(const QWidget *widget)
{
    if (widget && widget->screen())
        return widget->screen();
    return QGuiApplication::primaryScreen();
}

double dpiX(const QWidget *widget)
{
    QScreen *screen = screenOf(widget);
    return screen ? screen->logicalDotsPerInchX() : 96.0;
}

double dpiY(const QWidget *widget)
{
    QScreen *screen = screenOf(widget);
    return screen ? screen->logicalDotsPerInchY() : 96.0;
}
} // namespace

namespace Twips {

double perPixelX(const QWidget *widget)
{
    return 1440.0 / dpiX(widget);
}

double perPixelY(const QWidget *widget)
{
    return 1440.0 / dpiY(widget);
}

int toPixelsX(int twips, const QWidget *widget)
{
    return static_cast<int>(std::lround(twips / perPixelX(widget)));
}

int toPixelsY(int twips, const QWidget *widget)
{
    return static_cast<int>(std::lround(twips / perPixelY(widget)));
}

int fromPixelsX(int pixels, const QWidget *widget)
{
    return static_cast<int>(std::lround(pixels * perPixelX(widget)));
}

int fromPixelsY(int pixels, const QWidget *widget)
{
    return static_cast<int>(std::lround(pixels * perPixelY(widget)));
}

} // namespace Twips
