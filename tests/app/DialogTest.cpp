#include "cDialog.h"

#include <QApplication>
#include <QColorDialog>
#include <QDir>
#include <QFileDialog>
#include <QPointer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

TEST(FileDialogFilters, PairsBecomeQtNameFilters)
{
    // Rows write each NUL character of the pairs as "|", and the Qt filters joined by "|".
    const struct {
        const char *name, *pairs, *filters;
    } rows[] = { { "pattern already in the description", "Text Files (*.txt)|*.txt|", "Text Files (*.txt)" },
        { "several patterns, two pairs, double terminator", "Logs|*.log;*.txt|All Files|*.*||",
            "Logs (*.log *.txt)|All Files (*.*)" },
        { "Windows pattern list in the description", "Logs (*.log;*.txt)|*.log;*.txt|",
            "Logs (*.log *.txt)" },
        { "no description", "|*.ini|", "*.ini" }, { "description without pattern", "Broken|", "" } };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const QString pairs = QString::fromLatin1(row.pairs).replace(QLatin1Char('|'), QChar(0));
        EXPECT_EQ(cDialog::nameFiltersFrom(pairs).join(QLatin1Char('|')), QLatin1String(row.filters));
    }
}

TEST(FileDialogs, AnswerHandling)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    // Paths are relative to the temporary folder; a null answer is a cancel, a null result none. Filename
    // is what the call leaves in its argument; open rows call GetOpenName, whose folder is the current one.
    const struct {
        const char *name, *defaultExt, *chosen, *result, *filename;
        bool open = false;
    } rows[] = { { "typed without extension", "txt", "log", "log.txt", "log.txt" },
        { "own extension kept", "txt", "log.csv", "log.csv", "log.csv" },
        { "no default extension", "", "log", "log", "log" },
        { "cancelled", "txt", nullptr, nullptr, "start.txt" },
        // The folder must exist: a path into nowhere is no answer.
        { "missing folder", "txt", "nowhere/log.txt", nullptr, "start.txt" },
        { "open", "txt", "data.bin", "data.bin", "data.bin", true } };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        cDialog::FileRequest asked;
        cDialog::setNextFileAnswerForTest([&](const cDialog::FileRequest &request) {
            asked = request;
            return row.chosen ? std::optional<QString>(folder + QLatin1String(row.chosen)) : std::nullopt;
        });
        QString filename = QStringLiteral("start.txt");
        const QString result = row.open ? cDialog().GetOpenName(nullptr, filename)
                                        : cDialog().GetSaveName(nullptr, filename, folder,
                                            QStringLiteral("Title"), {}, QLatin1String(row.defaultExt));
        EXPECT_EQ(result, row.result ? folder + QLatin1String(row.result) : QString());
        EXPECT_EQ(filename, QLatin1String(row.filename));
        EXPECT_EQ(std::pair(asked.save, asked.folder),
            std::pair(!row.open, row.open ? QDir::currentPath() : folder));
    }
}

TEST(ColorPicker, CustomColoursRoundTripAsBgrDecimal)
{
    QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings settings(QStringLiteral("Temp"), QStringLiteral("Temp"));
    settings.beginGroup(QStringLiteral("CustomColors"));
    // Index, stored value before and after. 2 is blue; the dialog has no use for the top byte, but must
    // not drop it from a colour left alone (4); 5 is changed in the dialog.
    const char *colours[][3] = { { "2", "16711680", "16711680" }, { "3", "garbage", "0" },
        { "4", "-16777216", "-16777216" }, { "5", "0", "3351057" } };
    for (const auto &colour : colours)
        settings.setValue(QLatin1String(colour[0]), QLatin1String(colour[1]));
    cDialog::setNextColorAnswerForTest([] {
        EXPECT_EQ(std::pair(QColorDialog::customColor(2), QColorDialog::customColor(3)),
            std::pair(QColor(Qt::blue), QColor(Qt::black)));
        QColorDialog::setCustomColor(5, QColor(0x11, 0x22, 0x33));
        return std::optional<QColor>(QColor(0xAA, 0xBB, 0xCC));
    });
    EXPECT_EQ(cDialog().PickColor(), 0x00CCBBAA);
    for (const auto &colour : colours)
        EXPECT_EQ(settings.value(QLatin1String(colour[0])).toString(), QLatin1String(colour[2])) << colour[0];
}

TEST(FileDialogs, OwnerClosedWhileTheDialogIsOpen)
{
    // Guards against reading or deleting a dialog that its owner already took down with it.
    QPointer<QWidget> owner = new QWidget;
    owner->show();
    QTimer::singleShot(0, qApp, [owner] {
        const auto *dialog = owner->findChild<QFileDialog *>();
        EXPECT_TRUE(dialog && dialog->isVisible());
        delete owner.data();
    });
    QString filename = QStringLiteral("keep.txt");
    EXPECT_EQ(cDialog().GetSaveName(owner, filename, QDir::tempPath()), QString());
    EXPECT_TRUE(filename == QStringLiteral("keep.txt") && owner.isNull());
}
