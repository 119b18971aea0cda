#include "Twips.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <cmath>

namespace {
std::optional<double> g_dpiForTest;

QScreen *screenOf(const QWidget *widget)
{
    if (widget && widget->screen())
        return widget->screen();
    return QGuiApplication::primaryScreen();
}

double dpiX(const QWidget *widget)
{
    QScreen *screen = screenOf(widget);
    return g_dpiForTest.value_or(screen ? screen->logicalDotsPerInchX() : 96.0);
}

double dpiY(const QWidget *widget)
{
    QScreen *screen = screenOf(widget);
    return g_dpiForTest.value_or(screen ? screen->logicalDotsPerInchY() : 96.0);
}
} // namespace

namespace Twips {

void setDpiForTest(std::optional<double> dpi)
{
    g_dpiForTest = dpi;
}

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
