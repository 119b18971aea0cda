#include "TestFolder.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

TestFolder::TestFolder()
    : m_previousAppFolder(AppFolder)
{
    AppFolder = QDir::toNativeSeparators(m_dir.path()) + QDir::separator();
    QDir(m_dir.path()).mkdir(QStringLiteral("requests"));
}

QStringList TestFolder::requestFiles() const
{
    return QDir(requests()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        ADD_FAILURE() << "cannot write " << path.toStdString();
}
