#include "RecordWriter.h"
#include "TestFolder.h"
#include "Wait.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// Guards against records written out of order, torn between interleaved replies, left behind
// under their temporary name, or reported done before they are in place.
TEST(RecordWriter, JobsRunInOrderAndReportBackOnTheWindowThread)
{
    QTemporaryDir dir;
    const auto path = [&](const char *name) { return dir.filePath(QString::fromLatin1(name)); };
    RecordWriter writer;
    QStringList reports;
    const auto report = [&](const char *name) {
        return [&reports, name, &writer](bool ok, const QString &error) {
            EXPECT_TRUE(ok) << error.toStdString();
            EXPECT_EQ(QThread::currentThread(), writer.thread());
            reports << QString::fromLatin1(name);
        };
    };
    writer.write(path("old-A.txt"), "an older reply");
    QByteArray numbers;
    for (int i = 0; i < 100; ++i) {
        numbers += QByteArray::number(i) + ',';
        writer.append(path("a.part"), QByteArray::number(i) + ',');
        writer.append(path("b.part"), QByteArray(1000, char('a' + i % 26)));
    }
    writer.finish(path("a.part"), path("old-A.txt"), report("a"));
    writer.finish(path("b.part"), path("b-A.txt"), report("b"));
    writer.finish(path("empty.part"), path("empty-A.txt"), report("empty"));
    writer.write(path("gone-Q.txt"), "soon gone");
    writer.remove(path("gone-Q.txt"));
    EXPECT_TRUE(writer.waitUntilWritten(path("old-A.txt"), 5000));
    ASSERT_TRUE(writer.drain(5000));
    ASSERT_TRUE(waitFor([&] { return reports.size() == 3; }));

    EXPECT_EQ(fileBytes(path("old-A.txt")), numbers);
    EXPECT_EQ(fileBytes(path("b-A.txt")).size(), 100000);
    EXPECT_EQ(fileBytes(path("empty-A.txt")), QByteArray());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files),
        QString::fromLatin1("b-A.txt empty-A.txt old-A.txt").split(QLatin1Char(' ')));
    EXPECT_EQ(reports, QString::fromLatin1("a b empty").split(QLatin1Char(' ')));
}

// Guards against a fast server filling memory with bytes the disk has not taken yet, in one
// large record or in many small ones.
TEST(RecordWriter, BacklogAsksTheProducerToPauseUntilDrained)
{
    QTemporaryDir dir;
    const QString part = dir.filePath(QStringLiteral("r.part"));
    for (const bool manyFiles : { false, true }) {
        SCOPED_TRACE(manyFiles);
        RecordWriter writer;
        QSignalSpy drained(RecordWriter::notifier(), &RecordWriterNotifier::drained);
        writer.holdForTest(true);
        if (manyFiles) {
            for (size_t i = 0; i < RecordWriter::MaxQueuedJobs; ++i)
                writer.append(dir.filePath(QString::number(i)), "x");
        } else {
            writer.append(part, QByteArray(RecordWriter::PauseAbove, 'x'));
        }
        EXPECT_FALSE(writer.shouldPause(part));
        writer.append(part, "y");
        EXPECT_TRUE(writer.shouldPause(part));
        EXPECT_FALSE(writer.waitUntilWritten(part, 10));
        writer.holdForTest(false);
        ASSERT_TRUE(waitFor([&] { return drained.count() == 1; }, 30000));
        EXPECT_EQ(drained.first().at(0).toString(), part);
        EXPECT_FALSE(writer.shouldPause(part));
        // Up to ResumeBelowJobs files are still to be written: seconds on a busy machine.
        ASSERT_TRUE(writer.drain(60000));
    }
}

// Guards against recycled files showing their old bytes, and against spares left behind.
TEST(RecordWriter, RemovedFilesAreRecycledForNewOnes)
{
    QTemporaryDir dir;
    const auto path = [&](const char *name) { return dir.filePath(QString::fromLatin1(name)); };
    const QString spares = path("spare/");
    {
        RecordWriter writer;
        writer.setSpareFolder(spares);
        writer.write(path("a-Q.txt"), "a longer old record");
        writer.remove(path("a-Q.txt"));
        ASSERT_TRUE(writer.drain(5000));
        EXPECT_EQ(QDir(spares).entryList(QDir::Files).size(), 1);
        writer.write(path("b-Q.txt"), "new");
        writer.append(path("c.part"), "x");
        ASSERT_TRUE(writer.drain(5000));
        EXPECT_EQ(fileBytes(path("b-Q.txt")), "new");
        EXPECT_EQ(QDir(spares).entryList(QDir::Files).size(), 0);
    }
    EXPECT_FALSE(QDir(spares).exists());
}

// Regression: a disk that filled up during a reply was reported as "Unknown error".
TEST(RecordWriter, AFullDiskIsReportedAsSuch)
{
    QTemporaryDir dir;
    const QString part = dir.filePath(QStringLiteral("r.part"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/full"), part));
    RecordWriter writer;
    QString error;
    // More than the file's buffer, so that the append itself fails.
    writer.append(part, QByteArray(1 << 20, 'x'));
    writer.finish(
        part, dir.filePath(QStringLiteral("r-A.txt")), [&error](bool, const QString &why) { error = why; });
    ASSERT_TRUE(waitFor([&] { return !error.isEmpty(); }));
    EXPECT_TRUE(error.endsWith(QStringLiteral(": No space left on device"))) << qPrintable(error);
}
