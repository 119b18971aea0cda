#include "cDialog.h"

#include <QColorDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>
#include <QSettings>

namespace {
cDialog::FileAnswer g_nextFileAnswer;
cDialog::ColorAnswer g_nextColorAnswer;

// The custom colours live where the older versions of the program kept them.
const QString ColorStore = QStringLiteral("Temp");
const QString ColorGroup = QStringLiteral("CustomColors");

std::optional<QString> showFileDialog(QWidget *owner, const cDialog::FileRequest &request)
{
    // Heap-allocated and guarded: the owner may be destroyed while the dialog's loop runs, and
    // it takes its children with it.
    QPointer<QFileDialog> dialog = new QFileDialog(owner, request.title, request.folder);
    dialog->setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::AnyFile);
    if (!request.save)
        dialog->setOption(QFileDialog::DontResolveSymlinks);
    if (!request.nameFilters.isEmpty())
        dialog->setNameFilters(request.nameFilters);
    dialog->setDefaultSuffix(request.defaultSuffix);
    if (!request.fileName.isEmpty())
        dialog->selectFile(request.fileName);

    const bool accepted = dialog->exec() == QDialog::Accepted;
    if (!dialog)
        return std::nullopt;
    std::optional<QString> chosen;
    if (accepted && !dialog->selectedFiles().isEmpty())
        chosen = dialog->selectedFiles().constFirst();
    delete dialog;
    return chosen;
}

// Applies the rules every answer obeys, whether it came from the user or from a test.
std::optional<QString> finishFileAnswer(const cDialog::FileRequest &request, std::optional<QString> chosen)
{
    if (!chosen || chosen->isEmpty())
        return std::nullopt;
    QString path = *chosen;
    QFileInfo info(path);
    if (!request.defaultSuffix.isEmpty() && !info.fileName().isEmpty()
        && !info.fileName().contains(QLatin1Char('.'))) {
        path += QLatin1Char('.') + request.defaultSuffix;
        info.setFile(path);
    }
    // A name without a folder to hold it can be neither written nor opened.
    if (info.fileName().isEmpty() || !info.absoluteDir().exists())
        return std::nullopt;
    return path;
}
} // namespace

QString cDialog::GetSaveName(QWidget *hwnd, QString &Filename, const QString &InitialDir,
    const QString &WindowTitle, const QString &FilterStr, const QString &DefaultExt)
{
    FileRequest request;
    request.save = true;
    request.title = WindowTitle;
    request.folder = InitialDir;
    request.fileName = Filename.left(MaxFileName);
    request.nameFilters = nameFiltersFrom(FilterStr);
    request.defaultSuffix = DefaultExt;
    return runFileDialog(hwnd, request, Filename);
}

QString cDialog::GetOpenName(QWidget *hwnd, QString &Filename, std::optional<QString> DefaultDir,
    const QString &WindowTitle, const QString &Filters, const QString &DefaultFileName)
{
    FileRequest request;
    request.title = WindowTitle;
    request.folder = DefaultDir ? *DefaultDir : QDir::currentPath();
    request.fileName = DefaultFileName;
    request.nameFilters = nameFiltersFrom(Filters);
    return runFileDialog(hwnd, request, Filename);
}

QString cDialog::runFileDialog(QWidget *owner, const FileRequest &request, QString &Filename)
{
    std::optional<QString> chosen;
    if (g_nextFileAnswer) {
        const FileAnswer answer = std::exchange(g_nextFileAnswer, nullptr);
        chosen = answer(request);
    } else {
        chosen = showFileDialog(owner, request);
    }
    const std::optional<QString> path = finishFileAnswer(request, chosen);
    if (!path)
        return {};
    Filename = QFileInfo(*path).fileName();
    return *path;
}

qint32 cDialog::PickColor()
{
    QSettings settings(ColorStore, ColorStore);
    settings.beginGroup(ColorGroup);
    qint32 stored[16];
    for (int i = 0; i < 16; ++i) {
        bool ok = false;
        stored[i] = settings.value(QString::number(i), QStringLiteral("0")).toString().toInt(&ok);
        if (!ok)
            stored[i] = 0;
        QColorDialog::setCustomColor(i, fromColorRef(stored[i]));
    }

    std::optional<QColor> chosen;
    if (g_nextColorAnswer) {
        const ColorAnswer answer = std::exchange(g_nextColorAnswer, nullptr);
        chosen = answer();
    } else {
        QPointer<QColorDialog> dialog = new QColorDialog(QColor(Qt::black));
        if (dialog->exec() == QDialog::Accepted && dialog)
            chosen = dialog->currentColor();
        delete dialog;
    }

    for (int i = 0; i < 16; ++i) {
        const qint32 now = toColorRef(QColorDialog::customColor(i));
        // The dialog knows no byte above blue; a value it did not change keeps that byte.
        const qint32 keep = (stored[i] & 0x00FFFFFF) == now ? stored[i] : now;
        settings.setValue(QString::number(i), QString::number(keep));
    }
    settings.endGroup();
    settings.sync();

    return chosen && chosen->isValid() ? toColorRef(*chosen) : -1;
}

QStringList cDialog::nameFiltersFrom(const QString &pairs)
{
    QStringList filters;
    const QStringList parts = pairs.split(QChar(0));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i].trimmed();
        const QString pattern = parts[i + 1].trimmed();
        // An empty pair is the list's terminator.
        if (description.isEmpty() && pattern.isEmpty())
            break;
        if (pattern.isEmpty())
            continue;
        QString qtPattern = pattern;
        qtPattern.replace(QLatin1Char(';'), QLatin1Char(' '));
        qtPattern = qtPattern.simplified();
        for (const QString &shown : { pattern, qtPattern }) {
            const QString suffix = QLatin1Char('(') + shown + QLatin1Char(')');
            if (description.endsWith(suffix)) {
                description.chop(suffix.size());
                description = description.trimmed();
                break;
            }
        }
        if (description.isEmpty())
            filters.append(qtPattern);
        else
            filters.append(description + QLatin1String(" (") + qtPattern + QLatin1Char(')'));
    }
    return filters;
}

qint32 cDialog::toColorRef(const QColor &color)
{
    const QRgb rgb = color.rgb();
    return static_cast<qint32>(qRed(rgb) | (qGreen(rgb) << 8) | (qBlue(rgb) << 16));
}

QColor cDialog::fromColorRef(qint32 value)
{
    return QColor(value & 0xFF, (value >> 8) & 0xFF, (value >> 16) & 0xFF);
}

void cDialog::setNextFileAnswerForTest(FileAnswer answer)
{
    g_nextFileAnswer = std::move(answer);
}

void cDialog::setNextColorAnswerForTest(ColorAnswer answer)
{
    g_nextColorAnswer = std::move(answer);
}
