// Replays the fuzz corpus through the fuzz target's own checks, so that every build runs them.
#include "../fuzz/request_fuzzer.cpp"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

TEST(RequestCorpus, EveryInputKeepsTheParserRules)
{
    const QDir corpus(QStringLiteral(TARNWICK_SOURCE_DIR "/tests/fuzz/corpus"));
    const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
    ASSERT_FALSE(names.isEmpty()) << corpus.path().toStdString();
    for (const QString &name : names) {
        QFile file(corpus.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        const QByteArray input = file.readAll();
        const auto *data = reinterpret_cast<const uint8_t *>(input.constData());
        EXPECT_EQ(checkRequestInput(data, size_t(input.size()), QStringLiteral("/dev/null")), "")
            << name.toStdString();
    }
}
