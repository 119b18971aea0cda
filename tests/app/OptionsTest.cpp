#include "Options.h"
#include "ProgramValues.h"
#include "ProxyCredentials.h"
#include "TestFolder.h"
#include "frmOptions.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
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

const QString Hash = u"pbkdf2-sha256$1000$c2FsdA==$"_s + QString::fromLatin1(QByteArray(32, 'h').toBase64());

Options network()
{
    Options options;
    options.allowClients = u"10.0.0.0/8, 127.0.0.1"_s;
    options.proxyUser = u"ann"_s;
    options.proxyPasswordHash = Hash;
    options.upstreamProxy = u"[::1]:3128"_s;
    options.upstreamUser = u"u"_s;
    options.upstreamPassword = u"p w=1"_s;
    options.upstreamBypass = QStringList { u"a"_s, u"*.b"_s };
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
            "larger than 64 KiB; using the defaults" },
        { "the network keys, lists as written by hand",
            "AllowClients= 10.0.0.0/8 ,127.0.0.1\nProxyUser=ann\nProxyPasswordHash=" + Hash.toLatin1()
                + "\nUpstreamProxy=[::1]:3128\nUpstreamUser=u\nUpstreamPassword=p w=1\nUpstreamBypass=a,, "
                  "*.b\n",
            network(), "" },
        { "bad network values; a password is never quoted",
            "AllowClients=10.0.0.0/33\nProxyUser=a:b\nProxyPasswordHash=letmein\nUpstreamProxy=noport\n", {},
            R"(bad value for AllowClients: "10.0.0.0/33" (addresses and ranges like 192.168.1.0/24); using 127.0.0.0/8, ::1|)"
            R"(bad value for ProxyUser: "a:b" (a user name without a colon); using |)"
            R"(bad value for ProxyPasswordHash: (not shown) (a hash Tarnwick made); using |)"
            R"(bad value for UpstreamProxy: "noport" (host:port); using )" } };
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
    // The upstream password has to be sent, so it is kept as it is, but for its owner's eyes only.
    TestFolder folder;
    ASSERT_TRUE(network().write(Options::defaultFileName()));
    const auto others
        = QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    EXPECT_EQ(QFile::permissions(Options::defaultFileName()) & (others | QFileDevice::ReadOwner),
        QFileDevice::ReadOwner);
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

TEST(OptionsDialog, SaysWhoWillBeRefusedRefusesWhatItCannotReadAndKeepsOnlyAPasswordHash)
{
    const QString listening = std::exchange(ServerIP, u"0.0.0.0"_s);
    frmOptions dialog(network(), nullptr);
    dialog.show();
    EXPECT_EQ(dialog.options(), network());
    const struct {
        const char *name;
        const char *allow, *upstream;
        bool warned;
        const char *error; // empty when OK closes the dialog
    } rows[] = {
        { "the default list on an address others reach", "127.0.0.0/8, ::1", "", true, "" },
        { "a range that is no range", "10.0.0.0/33", "", false, "Allow clients from: " },
        { "an upstream proxy without a port", "10.0.0.0/8", "proxy", false, "Forward through proxy: " },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        dialog.show();
        dialog.setResult(QDialog::Rejected);
        dialog.txtAllowClients->setText(QLatin1String(row.allow));
        dialog.txtUpstreamProxy->setText(QLatin1String(row.upstream));
        EXPECT_EQ(dialog.lblAllowWarning->isVisibleTo(&dialog), row.warned);
        QTest::mouseClick(dialog.cmdOK, Qt::LeftButton);
        EXPECT_EQ(dialog.result(), *row.error ? QDialog::Rejected : QDialog::Accepted);
        EXPECT_EQ(dialog.lblError->text().left(int(strlen(row.error))), QLatin1String(row.error));
    }
    dialog.show();
    dialog.txtUpstreamProxy->clear();
    dialog.txtProxyPassword->setText(u"n3w"_s);
    QTest::mouseClick(dialog.cmdOK, Qt::LeftButton);
    const QString hash = dialog.options().proxyPasswordHash;
    EXPECT_TRUE(ProxyCredentials::verify(hash, "n3w")) << hash.toStdString();
    EXPECT_FALSE(ProxyCredentials::verify(hash, "n3W"));
    EXPECT_FALSE(hash.contains(u"n3w"_s));
    ServerIP = listening;
}
