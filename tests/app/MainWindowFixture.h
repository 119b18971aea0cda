#pragma once

#include "CProxyServer.h"
#include "MainModule.h"
#include "MessageBox.h"
#include "ProxyHarness.h"
#include "HistoryModel.h"
#include "HistoryView.h"
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
        HistoryRow row;
        row.cells[HistoryRow::Host] = QStringLiteral("host%1").arg(main->History->rowCount() + 1);
        row.cells[HistoryRow::RequestFile] = QLatin1String(request);
        row.cells[HistoryRow::ResponseFile] = QLatin1String(response);
        row.checked = checked;
        main->History->appendRows({ row });
        if (*request)
            writeFile(records() + QLatin1String(request), request);
        if (reply)
            writeFile(records() + QLatin1String(response), *reply);
    }

    // Clicks history row index (1-based).
    void click(int index, Qt::MouseButton button, Qt::KeyboardModifiers modifiers = {})
    {
        QTest::mouseClick(list->viewport(), button, modifiers, list->rowRect(index - 1).center());
    }
    int selectedIndex() const { return list->selectedRow() + 1; }

    QTemporaryDir dir;
    const QString folder = QDir::toNativeSeparators(dir.path()) + QDir::separator();
    const quint16 port = ProxyHarness::freePort();
    frmMain *main = nullptr;
    HistoryView *list = nullptr;
    QStringList messages;
    QList<int> exitCodes;
};
