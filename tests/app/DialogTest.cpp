#include "cDialog.h"

#include <QApplication>
#include <QColorDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

const QChar NUL(0);

class FileDialogs : public testing::Test
{
protected:
    void TearDown() override { cDialog::setNextFileAnswerForTest(nullptr); }

    // Answers the next dialog with path (nullopt: cancel) and keeps what it was asked.
    void answer(std::optional<QString> path)
    {
        cDialog::setNextFileAnswerForTest([this, path](const cDialog::FileRequest &request) {
            m_asked = request;
            ++m_dialogs;
            return path;
        });
    }

    QString folder() const { return m_dir.path() + QLatin1Char('/'); }

    QTemporaryDir m_dir;
    cDialog::FileRequest m_asked;
    int m_dialogs = 0;
};

} // namespace

TEST(FileDialogFilters, PairsBecomeQtNameFilters)
{
    struct Row {
        const char *name;
        QString pairs;
        QStringList filters;
    };
    const Row rows[] = {
        { "pattern already in the description",
            QLatin1String("Text Files (*.txt)") + NUL + QLatin1String("*.txt") + NUL,
            { QStringLiteral("Text Files (*.txt)") } },
        { "several patterns, two pairs, double terminator",
            QLatin1String("Logs") + NUL + QLatin1String("*.log;*.txt") + NUL + QLatin1String("All Files")
                + NUL + QLatin1String("*.*") + NUL + NUL,
            { QStringLiteral("Logs (*.log *.txt)"), QStringLiteral("All Files (*.*)") } },
        { "Windows pattern list in the description",
            QLatin1String("Logs (*.log;*.txt)") + NUL + QLatin1String("*.log;*.txt") + NUL,
            { QStringLiteral("Logs (*.log *.txt)") } },
        { "no description", NUL + QLatin1String("*.ini") + NUL, { QStringLiteral("*.ini") } },
        { "description without pattern", QLatin1String("Broken") + NUL, {} },
        { "none", QString(), {} },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(cDialog::nameFiltersFrom(row.pairs), row.filters);
    }
}

TEST_F(FileDialogs, SaveAnswerHandling)
{
    struct Row {
        const char *name;
        QString defaultExt;
        std::optional<QString> chosen; // relative to the temporary folder
        QString result; // relative; empty: no result
        QString filename; // Filename afterwards
    };
    const Row rows[] = {
        { "typed without extension", QStringLiteral("txt"), QStringLiteral("log"), QStringLiteral("log.txt"),
            QStringLiteral("log.txt") },
        { "own extension kept", QStringLiteral("txt"), QStringLiteral("log.csv"), QStringLiteral("log.csv"),
            QStringLiteral("log.csv") },
        { "no default extension", QString(), QStringLiteral("log"), QStringLiteral("log"),
            QStringLiteral("log") },
        { "cancelled", QStringLiteral("txt"), std::nullopt, QString(), QStringLiteral("start.txt") },
        // The folder must exist: a path into nowhere is no answer.
        { "missing folder", QStringLiteral("txt"), QStringLiteral("nowhere/log.txt"), QString(),
            QStringLiteral("start.txt") },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        answer(row.chosen ? std::optional<QString>(folder() + *row.chosen) : std::nullopt);
        QString filename = QStringLiteral("start.txt");
        const QString result
            = cDialog().GetSaveName(nullptr, filename, folder(), QStringLiteral("Title"), {}, row.defaultExt);
        EXPECT_EQ(result, row.result.isEmpty() ? QString() : folder() + row.result);
        EXPECT_EQ(filename, row.filename);
        EXPECT_TRUE(m_asked.save);
        EXPECT_EQ(m_asked.defaultSuffix, row.defaultExt);
    }
}

TEST_F(FileDialogs, SaveOffersAtMost512Characters)
{
    struct Row {
        const char *name;
        int length;
    };
    for (const Row &row : { Row { "short", 20 }, Row { "exactly 512", 512 }, Row { "longer", 600 } }) {
        SCOPED_TRACE(row.name);
        QString filename;
        for (int i = 0; i < row.length; ++i)
            filename.append(QLatin1Char('a' + i % 26));
        const QString original = filename;
        answer(std::nullopt);
        cDialog().GetSaveName(nullptr, filename);
        EXPECT_EQ(m_asked.fileName, original.left(512));
        EXPECT_EQ(filename, original);
    }
}

TEST_F(FileDialogs, OpenStartsInTheCurrentFolderUnlessGiven)
{
    QString filename = QStringLiteral("keep");
    answer(std::nullopt);
    EXPECT_EQ(cDialog().GetOpenName(nullptr, filename), QString());
    EXPECT_EQ(m_asked.folder, QDir::currentPath());
    EXPECT_FALSE(m_asked.save);
    EXPECT_EQ(filename, QStringLiteral("keep"));

    answer(folder() + QStringLiteral("data.bin"));
    const QString result = cDialog().GetOpenName(nullptr, filename, folder(), QStringLiteral("Open"),
        QLatin1String("Data") + NUL + QLatin1String("*.bin") + NUL, QStringLiteral("data.bin"));
    EXPECT_EQ(result, folder() + QStringLiteral("data.bin"));
    EXPECT_EQ(filename, QStringLiteral("data.bin"));
    EXPECT_EQ(m_asked.folder, folder());
    EXPECT_EQ(m_asked.fileName, QStringLiteral("data.bin"));
    EXPECT_EQ(m_asked.nameFilters, QStringList { QStringLiteral("Data (*.bin)") });
    EXPECT_EQ(m_dialogs, 2);
}

namespace {

class ColorPicker : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path());
    }
    void TearDown() override { cDialog::setNextColorAnswerForTest(nullptr); }

    static QString stored(int index)
    {
        QSettings settings(QStringLiteral("Temp"), QStringLiteral("Temp"));
        return settings.value(QStringLiteral("CustomColors/") + QString::number(index)).toString();
    }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(ColorPicker, FirstRunStoresSixteenBlackColoursEvenWhenCancelled)
{
    QList<QColor> offered;
    cDialog::setNextColorAnswerForTest([&offered] {
        for (int i = 0; i < 16; ++i)
            offered.append(QColorDialog::customColor(i));
        return std::optional<QColor>();
    });
    EXPECT_EQ(cDialog().PickColor(), -1);
    ASSERT_EQ(offered.size(), 16);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(offered[i], QColor(Qt::black)) << i;
        EXPECT_EQ(stored(i), QStringLiteral("0")) << i;
    }
}

TEST_F(ColorPicker, CustomColoursRoundTripAsBgrDecimal)
{
    {
        QSettings settings(QStringLiteral("Temp"), QStringLiteral("Temp"));
        settings.setValue(QStringLiteral("CustomColors/2"), QStringLiteral("16711680")); // blue
        settings.setValue(QStringLiteral("CustomColors/3"), QStringLiteral("garbage"));
        // The dialog has no use for the top byte, but must not drop it from a colour left alone.
        settings.setValue(QStringLiteral("CustomColors/4"), QStringLiteral("-16777216"));
    }
    QColor offeredBlue, offeredGarbage;
    cDialog::setNextColorAnswerForTest([&] {
        offeredBlue = QColorDialog::customColor(2);
        offeredGarbage = QColorDialog::customColor(3);
        QColorDialog::setCustomColor(5, QColor(0x11, 0x22, 0x33));
        return std::optional<QColor>(QColor(0xAA, 0xBB, 0xCC));
    });
    EXPECT_EQ(cDialog().PickColor(), 0x00CCBBAA);
    EXPECT_EQ(offeredBlue, QColor(0, 0, 255));
    EXPECT_EQ(offeredGarbage, QColor(Qt::black));
    EXPECT_EQ(stored(2), QStringLiteral("16711680"));
    EXPECT_EQ(stored(3), QStringLiteral("0"));
    EXPECT_EQ(stored(4), QStringLiteral("-16777216"));
    EXPECT_EQ(stored(5), QString::number(0x332211));
}

namespace {

// Runs action on the file dialog once it is open; a dialog that never shows fails the test instead
// of blocking it.
void onFileDialog(std::function<void(QFileDialog &)> action)
{
    auto tries = std::make_shared<int>(0);
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [action, tries, poll] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *dialog = qobject_cast<QFileDialog *>(widget);
            if (dialog && dialog->isVisible()) {
                action(*dialog);
                *poll = nullptr;
                return;
            }
        }
        if (++*tries < 200)
            QTimer::singleShot(10, qApp, *poll);
        else
            ADD_FAILURE() << "no file dialog appeared";
    };
    QTimer::singleShot(0, qApp, *poll);
}

} // namespace

TEST_F(FileDialogs, RealSaveDialogIsConfiguredAndAnswered)
{
    QStringList filters;
    onFileDialog([&](QFileDialog &dialog) {
        filters = dialog.nameFilters();
        EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptSave);
        EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Log File Location"));
        dialog.selectFile(folder() + QStringLiteral("chosen"));
        static_cast<QDialog &>(dialog).accept();
    });
    QString filename = QStringLiteral("TarnwickLog.txt");
    const QString result
        = cDialog().GetSaveName(nullptr, filename, folder(), QStringLiteral("Log File Location"),
            QLatin1String("Text Files (*.txt)") + NUL + QLatin1String("*.txt") + NUL, QStringLiteral("txt"));
    EXPECT_EQ(QFileInfo(QFileInfo(result).absolutePath()).canonicalFilePath(),
        QFileInfo(folder()).canonicalFilePath());
    EXPECT_EQ(QFileInfo(result).fileName(), QStringLiteral("chosen.txt"));
    EXPECT_EQ(filename, QStringLiteral("chosen.txt"));
    EXPECT_EQ(filters, QStringList { QStringLiteral("Text Files (*.txt)") });
}

TEST_F(FileDialogs, OwnerClosedWhileTheDialogIsOpen)
{
    // Guards against reading or deleting a dialog that its owner already took down with it.
    auto *owner = new QWidget;
    owner->show();
    onFileDialog([owner](QFileDialog &) { delete owner; });
    QString filename = QStringLiteral("keep.txt");
    EXPECT_EQ(cDialog().GetSaveName(owner, filename, folder()), QString());
    EXPECT_EQ(filename, QStringLiteral("keep.txt"));
}
