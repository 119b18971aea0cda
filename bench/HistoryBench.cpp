// Times the history window in process, offscreen, against the real main window:
//
//   HistoryBench view ROWS     a filter keystroke to the view redrawn, and a row click to its
//                              record shown in the pane, over ROWS listed rows
//   HistoryBench open FILE     opening a saved session into the history, with the peak resident
//                              memory it took above what the window held before
//
// Prints "name value" lines for bench/history.sh to read.

#include "HistoryModel.h"
#include "HistorySession.h"
#include "HistoryView.h"
#include "MainModule.h"
#include "MessageBox.h"
#include "ProgramValues.h"
#include "frmMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// A field of /proc/self/status in KiB, 0 when it cannot be read.
qint64 statusKiB(const char *field)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : file.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

// Lets the peak resident size (VmHWM) start again from the current size.
void resetPeak()
{
    QFile file(QStringLiteral("/proc/self/clear_refs"));
    if (file.open(QIODevice::WriteOnly))
        file.write("5");
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

void print(const char *name, double value)
{
    std::printf("%s %.1f\n", name, value);
    std::fflush(stdout);
}

void printCount(const char *name, qint64 value)
{
    std::printf("%s %lld\n", name, static_cast<long long>(value));
    std::fflush(stdout);
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

// Runs what the last input queued (the filter's relayout, the repaint) and paints the widget now,
// so that a timing taken after it covers what the user would see.
void settle(QWidget *widget)
{
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    widget->repaint();
}

QByteArray requestText(int i)
{
    return "GET http://site" + QByteArray::number(i % 50) + ".test/page/" + QByteArray::number(i)
        + "?q=" + QByteArray::number(i) + " HTTP/1.1\r\nHost: site" + QByteArray::number(i % 50)
        + ".test\r\nUser-Agent: bench/1.0\r\nAccept: */*\r\n\r\n";
}

QList<HistoryRow> makeRows(int count)
{
    QList<HistoryRow> rows;
    rows.reserve(count);
    for (int i = 0; i < count; ++i) {
        HistoryRow row;
        const QString host = QStringLiteral("site%1.test").arg(i % 50);
        const QString path = QStringLiteral("/page/%1").arg(i);
        row.cells[HistoryRow::Host] = host;
        row.cells[HistoryRow::IP] = QStringLiteral("127.0.0.1");
        row.cells[HistoryRow::Type] = QStringLiteral("GET");
        row.cells[HistoryRow::URL] = QStringLiteral("http://") + host + path;
        row.cells[HistoryRow::QBytes] = QStringLiteral("120");
        row.cells[HistoryRow::ABytes] = QStringLiteral("1,100");
        row.cells[HistoryRow::Status] = QStringLiteral("DONE");
        row.cells[HistoryRow::RequestFile] = QStringLiteral("bench%1-Q.txt").arg(i);
        row.cells[HistoryRow::ResponseFile] = QStringLiteral("bench%1-A.txt").arg(i);
        row.cells[HistoryRow::Code] = i % 10 ? QStringLiteral("200") : QStringLiteral("404");
        row.fullUrl = row.cells[HistoryRow::URL] + QStringLiteral("?q=%1").arg(i);
        rows.append(row);
    }
    return rows;
}

// Filter keystrokes: typing narrows the rows step by step, backspaces widen them again.
void timeFilter(frmMain *window)
{
    std::vector<double> times;
    QElapsedTimer clock;
    for (const char *text : { "page/4", "site3", "404", "-site1" }) {
        window->txtFilter->clear();
        settle(window->ListView1->viewport());
        for (const char *key = text; *key; ++key) {
            clock.start();
            QTest::keyClick(window->txtFilter, *key);
            settle(window->ListView1->viewport());
            times.push_back(double(clock.nsecsElapsed()) / 1e6);
        }
        for (const char *key = text; *key; ++key) {
            clock.start();
            QTest::keyClick(window->txtFilter, Qt::Key_Backspace);
            settle(window->ListView1->viewport());
            times.push_back(double(clock.nsecsElapsed()) / 1e6);
        }
    }
    print("filter_ms", median(times));
    print("filter_max_ms", *std::max_element(times.begin(), times.end()));
}

// Clicks rows on screen, each with its request record written beforehand.
void timeClick(frmMain *window)
{
    window->txtFilter->clear();
    settle(window->ListView1->viewport());
    HistoryView *view = window->ListView1;
    QWidget *viewport = view->viewport();
    std::vector<double> times;
    QElapsedTimer clock;
    int shown = 0;
    for (int y = 8; y < viewport->height() - 8 && times.size() < 15; y += 24) {
        const QModelIndex index = view->indexAt(QPoint(viewport->width() / 2, y));
        if (!index.isValid())
            continue;
        const int row = view->filter()->mapToSource(index).row();
        const QString file = window->History->row(row).cells[HistoryRow::RequestFile];
        writeFile(recordFolder() + file, requestText(row));
        const QRect rect = view->rowRect(row);
        clock.start();
        QTest::mouseClick(viewport, Qt::LeftButton, {}, rect.center());
        settle(window->txtSniff->viewport());
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
        shown += window->txtSniff->toPlainText().contains(QStringLiteral("/page/%1?").arg(row));
    }
    print("click_ms", median(times));
    print("click_max_ms", times.empty() ? 0 : *std::max_element(times.begin(), times.end()));
    printCount("click_shown", shown);
    printCount("click_tries", qint64(times.size()));
}

// Opens the session the way the program opens its kept history at start.
void timeOpen(frmMain *window, const QString &path)
{
    const qint64 before = statusKiB("VmRSS");
    resetPeak();
    QElapsedTimer clock;
    clock.start();
    QString error;
    const std::optional<QList<HistoryRow>> rows = HistorySession::open(path, recordFolder(), &error);
    if (!rows) {
        std::fprintf(stderr, "HistoryBench: %s\n", qPrintable(error));
        printCount("open_rows", 0);
        return;
    }
    window->History->appendRows(*rows);
    settle(window->ListView1->viewport());
    print("open_s", double(clock.elapsed()) / 1000);
    printCount("open_rows", window->History->rowCount());
    print("open_peak_mib", double(statusKiB("VmHWM") - before) / 1024);
}

quint16 freePort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 || (qstrcmp(argv[1], "view") != 0 && qstrcmp(argv[1], "open") != 0)) {
        std::fprintf(stderr, "usage: HistoryBench view ROWS | HistoryBench open SESSION.har\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    prepareQuietStart(argc, argv);
    QApplication app(argc, argv);
    const QString mode = QString::fromLocal8Bit(argv[1]);
    const QString argument = QString::fromLocal8Bit(argv[2]);

    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    writeFile(folder + QStringLiteral("tarnwick.ini"),
        "127.0.0.1\r\n " + QByteArray::number(freePort()) + " \r\n\r\n");
    writeFile(folder + QStringLiteral("tarnwick-options.ini"), "HistoryLimit=1000000\nHistoryMode=clear\n");
    MessageBox::setHookForTest([](const QString &text, MessageBox::Icon) {
        std::fprintf(stderr, "HistoryBench: box: %s\n", qPrintable(text));
    });
    setQuitHookForTest([](int) {});
    frmMain::setTrayAvailableForTest(true);

    int exitCode = 0;
    if (!StartUp(dir.path(), &exitCode)) {
        std::fprintf(stderr, "HistoryBench: the program did not start\n");
        return 1;
    }
    frmMain *window = mainWindow();
    window->resize(1280, 800);
    settle(window);

    if (mode == QStringLiteral("view")) {
        window->History->appendRows(makeRows(argument.toInt()));
        settle(window);
        printCount("rows", window->History->rowCount());
        timeFilter(window);
        timeClick(window);
    } else {
        timeOpen(window, argument);
    }

    // Ending in order would delete every row's record one by one; the folder goes whole instead.
    std::fflush(stdout);
    dir.remove();
    std::_Exit(0);
}
