// Replays the fuzz corpora through the fuzz targets' own checks, so that every build runs them;
// they guard against results that depend on where the network split the bytes.
#define TARNWICK_CORPUS_REPLAY
#include "../fuzz/client_hello_fuzzer.cpp"
#include "../fuzz/request_fuzzer.cpp"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {
QList<std::pair<std::string, QByteArray>> corpus(const char *folder)
{
    const QDir dir(QStringLiteral(TARNWICK_SOURCE_DIR "/tests/fuzz/") + QLatin1String(folder));
    QList<std::pair<std::string, QByteArray>> out;
    for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        out.append({ name.toStdString(), file.open(QIODevice::ReadOnly) ? file.readAll() : "unreadable" });
    }
    EXPECT_FALSE(out.isEmpty()) << dir.path().toStdString();
    return out;
}
} // namespace

TEST(RequestCorpus, EveryInputKeepsTheParserRules)
{
    for (auto [name, input] : corpus("corpus")) {
        // Every way the first byte can cut the rest: the method word split at each of its bytes.
        for (int cut = 0; cut < 256 && !input.isEmpty(); ++cut) {
            input[0] = char(cut);
            const auto *data = reinterpret_cast<const uint8_t *>(input.constData());
            ASSERT_EQ(checkRequestInput(data, size_t(input.size()), QStringLiteral("/dev/null")), "")
                << name << " cut " << cut;
        }
    }
}

TEST(ClientHelloCorpus, EveryInputKeepsTheReaderRules)
{
    for (const auto &[name, input] : corpus("hello-corpus"))
        EXPECT_EQ(
            checkClientHelloInput(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size())),
            "")
            << name;
}
