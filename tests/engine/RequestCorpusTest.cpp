// Replays the fuzz corpus through the fuzz target's own checks, so that every build runs them.
#include "../fuzz/request_fuzzer.cpp"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

TEST(RequestCorpus, EveryInputKeepsTheParserRules)
{
    const QDir corpus(QStringLiteral(TARNWICK_SOURCE_DIR "/tests/fuzz/corpus"));
    const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
    ASSERT_FALSE(names.isEmpty()) << corpus.path().toStdString();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString record = dir.filePath(QStringLiteral("r-Q.txt"));
    for (const QString &name : names) {
        QFile file(corpus.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        const QByteArray input = file.readAll();
        EXPECT_EQ(checkRequestInput(
                      reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size()), record),
            "")
            << name.toStdString();
    }
}
