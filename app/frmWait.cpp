#include "frmWait.h"

#include "Twips.h"

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>

frmWait::frmWait(QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint)
{
    setObjectName(QStringLiteral("frmWait"));
    setWindowTitle(QStringLiteral("Pease Wait..."));
    if (owner)
        setWindowIcon(owner->window()->windowIcon());

    Label1 = new QLabel(QStringLiteral("Deleting Temporary Files..."), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(Twips::toPixelsX(300, this), Twips::toPixelsY(180, this),
        Twips::toPixelsX(2655, this), Twips::toPixelsY(240, this));

    setFixedSize(Twips::toPixelsX(3120, this), Twips::toPixelsY(675, this));

    // Centred on the screen rather than on the main window, which may sit at its edge.
    if (QScreen *screen = owner ? owner->screen() : QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}
