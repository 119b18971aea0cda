// Replays the fuzz corpus through the fuzz target's own checks, so that every build runs them;
// it guards against results that depend on where the network split a request.
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
        QByteArray input = file.readAll();
        // Every way the first byte can cut the rest: the method word split at each of its bytes.
        for (int cut = 0; cut < 256 && !input.isEmpty(); ++cut) {
            input[0] = char(cut);
            const auto *data = reinterpret_cast<const uint8_t *>(input.constData());
            ASSERT_EQ(checkRequestInput(data, size_t(input.size()), QStringLiteral("/dev/null")), "")
                << name.toStdString() << " cut " << cut;
        }
    }
}
