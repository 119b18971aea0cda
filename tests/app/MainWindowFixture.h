#pragma once

#include "CProxyServer.h"
#include "MainModule.h"
#include "MessageBox.h"
#include "ProxyHarness.h"
#include "QtHistoryList.h"
#include "Twips.h"
#include "Wait.h"
#include "frmLog.h"
#include "frmMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// The whole program started in a temporary folder whose settings name a free port of 127.0.0.1;
// boxes and exit codes are collected instead of shown or acted on.
class MainWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        MessageBox::setHookForTest([this](const QString &text, MessageBox::Icon) { messages.append(text); });
        setQuitHookForTest([this](int code) { exitCodes.append(code); });
        frmMain::setTrayAvailableForTest(true);
        writeFile(folder + QStringLiteral("tarnwick.ini"),
            "127.0.0.1\r\n " + QByteArray::number(port) + " \r\n\r\n");
    }

    void TearDown() override
    {
        end();
        MessageBox::setHookForTest({});
        setQuitHookForTest({});
        frmMain::setTrayAvailableForTest(std::nullopt);
    }

    void start()
    {
        int exitCode = -1;
        ASSERT_TRUE(StartUp(dir.path(), &exitCode)) << qPrintable(messages.join(QLatin1Char('|')));
        main = mainWindow();
        list = main->ListView1;
        QCoreApplication::processEvents();
    }

    void end()
    {
        if (frmMain *window = mainWindow())
            window->endProgram();
        flushDeferredDeletes();
        exitCodes.clear();
    }

    QString records() const { return folder + QStringLiteral("requests") + QDir::separator(); }

    // Appends a row naming its record files. The request file, when named, holds its own name; the
    // reply file is written only when reply bytes are given.
    void addRow(
        const char *request, const char *response, std::optional<QByteArray> reply = {}, bool checked = false)
    {
        list->add();
        const int index = list->count();
        list->setText(index, QStringLiteral("host%1").arg(index));
        list->setSubItem(index, 7, QLatin1String(request));
        list->setSubItem(index, 8, QLatin1String(response));
        list->setChecked(index, checked);
        if (*request)
            writeFile(records() + QLatin1String(request), request);
        if (reply)
            writeFile(records() + QLatin1String(response), *reply);
    }

    void click(int index, Qt::MouseButton button, Qt::KeyboardModifiers modifiers = {})
    {
        QTest::mouseClick(list->viewport(), button, modifiers,
            list->visualItemRect(list->topLevelItem(index - 1)).center());
    }

    // Waits for the list's held repaint, and the selection held with it, to be applied.
    bool settled() const
    {
        return waitFor([this] { return list->updatesEnabled(); });
    }
    QList<bool> rowsShown() const { return { list->rowShown(1), list->rowShown(2), list->rowShown(3) }; }

    // Resizes the window so that its outer height, as the layout counts it, is designHeight twips.
    void setDesignHeight(int designHeight)
    {
        const int chrome = main->height() - main->centralWidget()->height();
        main->resize(main->width(), Twips::toPixelsY(designHeight - 690, main) + chrome);
        QCoreApplication::processEvents();
    }

    QTemporaryDir dir;
    const QString folder = QDir::toNativeSeparators(dir.path()) + QDir::separator();
    const quint16 port = ProxyHarness::freePort();
    frmMain *main = nullptr;
    QtHistoryList *list = nullptr;
    QStringList messages;
    QList<int> exitCodes;
};
