#include "Options.h"
#include "TestFolder.h"
#include "frmOptions.h"

#include <QCheckBox>
#include <QFile>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>

#include <tuple>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using Mode = HistoryModel::LimitMode;

Options make(int limit, Mode mode = Mode::Clear, bool keep = false)
{
    Options options;
    std::tie(options.historyLimit, options.historyMode, options.keepHistory) = std::tuple(limit, mode, keep);
    return options;
}

void PrintTo(const Options &options, std::ostream *out)
{
    *out << options.historyLimit << ' ' << int(options.historyMode) << ' ' << options.keepHistory;
}

TEST(OptionsFile, ReadsKnownKeysReportsTheRestAndWritesWhatItReads)
{
    const struct {
        const char *name;
        QByteArray content;
        Options expected;
        const char *log; // lines joined by "|", without the file name before each
        bool missing = false;
    } rows[] = { { "no file", {}, {}, "", true },
        { "every key, any letter case, CRLF, comments and a section header",
            "[General]\r\n; mine\r\n historylimit = 1000000 \r\n\r\nHistoryMode=Oldest\r\nKeepHistory=TRUE",
            make(1000000, Mode::Oldest, true), "" },
        { "unknown key and a line without =", "Colour=red\nHistoryLimit=10\njunk\n", make(10),
            R"(unknown key "Colour"; ignored|line 3 is not key=value: "junk"; ignored)" },
        { "a bad value of each key",
            "HistoryLimit=abc\nHistoryMode=newest\nKeepHistory=yes\nWindowSplitter=!\n", {},
            R"(bad value for HistoryLimit: "abc" (a whole number from 10 to 1000000); using 200|)"
            R"(bad value for HistoryMode: "newest" (clear or oldest); using clear|)"
            R"(bad value for KeepHistory: "yes" (true or false); using false|)"
            R"(bad value for WindowSplitter: "!" (base64); using )" },
        { "limit out of range at either end; a bad value undoes a good one before it",
            "HistoryLimit=1000001\nHistoryMode=oldest\nHistoryMode=\nHistoryLimit=9\n", {},
            R"(bad value for HistoryLimit: "1000001" (a whole number from 10 to 1000000); using 200|)"
            R"(bad value for HistoryMode: "" (clear or oldest); using clear|)"
            R"(bad value for HistoryLimit: "9" (a whole number from 10 to 1000000); using 200)" },
        { "breakpoint rules; a rule without a pattern is no list of rules",
            "BreakpointRules=[{}]\n"
            "BreakpointRules=[{\"pattern\":\"-a=b\",\"request\":false,\"reply\":true}]\n",
            [] {
                Options options;
                options.breakpointRules = { { u"-a=b"_s, false, true } };
                return options;
            }(),
            R"(bad value for BreakpointRules: "[{}]" (a JSON list of breakpoint rules); using [])" },
        { "no options file is that large", QByteArray(65 * 1024, '\n'), {},
            "larger than 64 KiB; using the defaults" } };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        TestFolder folder;
        const QString path = Options::defaultFileName();
        QFile file(path);
        ASSERT_TRUE(row.missing || (file.open(QIODevice::WriteOnly) && file.write(row.content) >= 0));
        file.close();
        const Options::ReadResult read = Options::read(path);
        EXPECT_EQ(read.options, row.expected);
        EXPECT_EQ(read.logLines.join(u'|').remove(u"tarnwick-options.ini: "_s), QLatin1String(row.log));

        ASSERT_TRUE(read.options.write(path));
        EXPECT_EQ(Options::read(path).options, row.expected);
        EXPECT_TRUE(Options::read(path).logLines.isEmpty());
    }
    QString why;
    EXPECT_FALSE(Options().write(u"/nonexistent/tarnwick-options.ini"_s, &why));
    EXPECT_TRUE(why.startsWith(u"Cannot write /nonexistent/tarnwick-options.ini: "_s)) << why.toStdString();
}

TEST(OptionsDialog, ShowsTheOptionsAndGivesBackTheEditedOnes)
{
    frmOptions dialog(make(5000, Mode::Oldest, true), nullptr);
    dialog.show();
    EXPECT_EQ(dialog.options(), make(5000, Mode::Oldest, true));
    dialog.spnLimit->selectAll();
    QTest::keyClicks(dialog.spnLimit, u"123456"_s);
    QTest::mouseClick(dialog.optClear, Qt::LeftButton);
    QTest::mouseClick(dialog.chkKeepHistory, Qt::LeftButton);
    QTest::mouseClick(dialog.cmdOK, Qt::LeftButton);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.options(), make(123456));
}
