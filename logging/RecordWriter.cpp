#include "RecordWriter.h"

#include "CrossThread.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QSet>
#include <QThread>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>

namespace {

// The thread's open files. Only the writer thread touches them.
std::map<QString, std::unique_ptr<QFile>> &openFiles()
{
    thread_local std::map<QString, std::unique_ptr<QFile>> files;
    return files;
}

// Why an append failed, kept until the file is finished: closing a QFile forgets its error.
QHash<QString, QString> &appendErrors()
{
    thread_local QHash<QString, QString> errors;
    return errors;
}

// Opens a file to be written from its start. Opening with truncation marks the file, on ext4,
// for a forced write-back when it is closed (a guard for programs that replace files in place),
// which would cost every record a flush; an empty or new file needs no truncation.
bool openEmpty(QFile &file)
{
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    return file.size() == 0 || file.resize(0);
}

// Renames in one system call, replacing what is at the new name; QFile::rename refuses to
// replace and checks first, which on a busy record folder costs more than the rename itself.
bool renameOver(const QString &from, const QString &to)
{
    std::error_code error;
#ifdef Q_OS_WIN
    std::filesystem::rename(from.toStdWString(), to.toStdWString(), error);
#else
    std::filesystem::rename(
        QFile::encodeName(from).toStdString(), QFile::encodeName(to).toStdString(), error);
#endif
    return !error;
}

QString describe(const QFile &file)
{
    return QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
}

} // namespace

RecordWriter &RecordWriter::instance()
{
    static RecordWriter writer;
    return writer;
}

RecordWriter::RecordWriter(QObject *parent)
    : QObject(parent)
    , m_thread([this] { run(); })
{ }

RecordWriter::~RecordWriter()
{
    {
        std::unique_lock lock(m_mutex);
        m_stop = true;
        m_wake.notify_all();
    }
    m_thread.join();
    for (const QString &spare : m_spares)
        QFile::remove(spare);
    if (!m_spareFolder.isEmpty())
        QDir(m_spareFolder).removeRecursively();
}

void RecordWriter::write(const QString &path, const QByteArray &bytes, Done done)
{
    post({ Job::Write, path, {}, bytes, std::move(done) });
}

void RecordWriter::append(const QString &path, const QByteArray &bytes)
{
    post({ Job::Append, path, {}, bytes, {} });
}

void RecordWriter::rename(const QString &from, const QString &to)
{
    post({ Job::Rename, from, to, {}, {} });
}

void RecordWriter::finish(const QString &from, const QString &to, Done done)
{
    post({ Job::Finish, from, to, {}, std::move(done) });
}

void RecordWriter::remove(const QString &path)
{
    post({ Job::Remove, path, {}, {}, {} });
}

void RecordWriter::appendLine(const QString &path, const QByteArray &line)
{
    post({ Job::Line, path, {}, line, {} });
}

namespace {
// The notifiers of the threads still running, under notifierLock(). Never destroyed: a writer
// thread may still settle jobs while the program's static objects go.
QSet<RecordWriterNotifier *> &liveNotifiers()
{
    static auto *notifiers = new QSet<RecordWriterNotifier *>;
    return *notifiers;
}

std::mutex &notifierLock()
{
    static auto *lock = new std::mutex;
    return *lock;
}
} // namespace

RecordWriterNotifier::~RecordWriterNotifier()
{
    const std::lock_guard lock(notifierLock());
    liveNotifiers().remove(this);
}

void RecordWriterNotifier::customEvent(QEvent *event)
{
    CrossThread::deliver(event);
}

void RecordWriter::customEvent(QEvent *event)
{
    CrossThread::deliver(event);
}

RecordWriterNotifier *RecordWriter::notifier()
{
    thread_local RecordWriterNotifier *notifier = [] {
        // Deleted with its thread's other thread-local objects, after the thread's event loop.
        thread_local RecordWriterNotifier made;
        const std::lock_guard lock(notifierLock());
        liveNotifiers().insert(&made);
        return &made;
    }();
    return notifier;
}

template <typename F> void RecordWriter::postIfAlive(RecordWriterNotifier *notifier, F &&call)
{
    const std::lock_guard lock(notifierLock());
    if (liveNotifiers().contains(notifier))
        notifier->m_inbox.post(notifier, std::forward<F>(call));
}

void RecordWriter::post(Job job)
{
    std::unique_lock lock(m_mutex);
    if (job.done)
        job.replyTo = notifier();
    ++m_pendingJobs[job.path];
    if (!job.to.isEmpty())
        ++m_pendingJobs[job.to];
    m_pendingBytes[job.path] += job.bytes.size();
    m_totalPending += job.bytes.size();
    m_queue.push_back(std::move(job));
    // The thread waits only on an empty queue, and is woken once for all the jobs that one turn
    // of the event loop posts: a wake per job would cost a thread switch per job.
    if (m_queue.size() == 1 && QThread::currentThread() != thread()) {
        m_wake.notify_one();
    } else if (m_queue.size() == 1 && !m_wakePosted) {
        m_wakePosted = true;
        CrossThread::post(this, [this] { wakeWriter(); });
    }
}

void RecordWriter::wakeWriter()
{
    std::unique_lock lock(m_mutex);
    m_wakePosted = false;
    m_wake.notify_one();
}

// Runs on the window thread: wakes the writer for whatever is queued and waits, at most
// timeoutMs, until done() holds.
bool RecordWriter::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    // On the system clock: waiting on the steady one goes through pthread_cond_clockwait, which
    // ThreadSanitizer (as built with g++ 12) does not see, and it then loses track of the lock.
    const auto deadline = std::chrono::system_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(m_mutex);
    m_wake.notify_one();
    while (!done()) {
        ++m_waiters;
        const bool woken = m_idle.wait_until(lock, deadline) == std::cv_status::no_timeout;
        --m_waiters;
        if (!woken && !done())
            return false;
    }
    return true;
}

bool RecordWriter::waitUntilWritten(const QString &path, int timeoutMs)
{
    return waitUntil([&] { return !m_pendingJobs.contains(path); }, timeoutMs);
}

bool RecordWriter::drain(int timeoutMs)
{
    return waitUntil([&] { return m_queue.empty() && !m_running; }, timeoutMs);
}

bool RecordWriter::shouldPause(const QString &path)
{
    std::unique_lock lock(m_mutex);
    if (m_pendingBytes.value(path) <= PauseAbove && !overloaded())
        return false;
    m_watched.insert(path, notifier());
    return true;
}

void RecordWriter::holdForTest(bool hold)
{
    std::unique_lock lock(m_mutex);
    m_held = hold;
    m_wake.notify_all();
}

void RecordWriter::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        while ((m_queue.empty() || m_held) && !m_stop)
            m_wake.wait(lock);
        if (m_queue.empty())
            break;
        Job job = std::move(m_queue.front());
        m_queue.pop_front();
        m_running = true;
        lock.unlock();
        perform(job);
        lock.lock();
        m_running = false;
        for (const QString &key : { job.path, job.to }) {
            if (!key.isEmpty() && --m_pendingJobs[key] == 0)
                m_pendingJobs.remove(key);
        }
        const qint64 left = m_pendingBytes[job.path] -= job.bytes.size();
        if (left == 0)
            m_pendingBytes.remove(job.path);
        m_totalPending -= job.bytes.size();
        if (!m_watched.isEmpty() && m_totalPending <= TotalPauseAbove / 4
            && m_queue.size() <= ResumeBelowJobs)
            notifyDrained();
        if (m_waiters > 0)
            m_idle.notify_all();
    }
    openFiles().clear();
}

bool RecordWriter::overloaded() const
{
    return m_totalPending > TotalPauseAbove || m_queue.size() > MaxQueuedJobs;
}

// Tells every paused producer whose file has drained too.
void RecordWriter::notifyDrained()
{
    for (auto it = m_watched.begin(); it != m_watched.end();) {
        if (m_pendingBytes.value(it.key()) > PauseAbove / 4) {
            ++it;
            continue;
        }
        postIfAlive(it.value(), [path = it.key()] { emit notifier()->drained(path); });
        it = m_watched.erase(it);
    }
}

void RecordWriter::perform(Job &job)
{
    auto &files = openFiles();
    switch (job.kind) {
    case Job::Write: {
        reuseSpare(job.path);
        QFile file(job.path);
        if (!openEmpty(file) || file.write(job.bytes) != job.bytes.size() || !file.flush()) {
            const QString error = describe(file);
            file.close();
            // A half-written record that no row will ever name must not stay behind.
            QFile::remove(job.path);
            return settle(job, false, error);
        }
        return settle(job, true, {});
    }
    case Job::Append: {
        std::unique_ptr<QFile> &file = files[job.path];
        if (!file) {
            reuseSpare(job.path);
            file = std::make_unique<QFile>(job.path);
            if (!openEmpty(*file))
                return;
        }
        // A failed append is found again when the file is finished.
        if (file->isOpen() && file->write(job.bytes) != job.bytes.size()) {
            appendErrors().insert(job.path, describe(*file));
            file->close();
        }
        return;
    }
    case Job::Finish: {
        const auto it = files.find(job.path);
        QString error;
        if (it == files.end()) {
            // Nothing was appended: the record is empty.
            QFile empty(job.path);
            if (!openEmpty(empty))
                error = describe(empty);
        } else {
            QFile &file = *it->second;
            error = appendErrors().take(job.path);
            if (error.isEmpty() && (!file.isOpen() || !file.flush()))
                error = describe(file);
            file.close();
            files.erase(it);
        }
        if (error.isEmpty() && !renameOver(job.path, job.to))
            error = QStringLiteral("cannot rename %1 to %2").arg(job.path, job.to);
        if (!error.isEmpty())
            QFile::remove(job.path);
        return settle(job, error.isEmpty(), error);
    }
    case Job::Rename:
        if (QFile::exists(job.path))
            renameOver(job.path, job.to);
        return;
    case Job::Remove:
        files.erase(job.path);
        appendErrors().remove(job.path);
        if (!keepSpare(job.path))
            QFile::remove(job.path);
        return settle(job, true, {});
    case Job::Spares: {
        for (const QString &spare : m_spares)
            QFile::remove(spare);
        m_spares.clear();
        m_spareFolder = job.path;
        if (!m_spareFolder.isEmpty()) {
            QDir folder(m_spareFolder);
            // Spares a run that ended badly left behind are of no use to anyone.
            if (folder.exists())
                folder.removeRecursively();
            if (!QDir().mkpath(m_spareFolder))
                m_spareFolder.clear();
        }
        return;
    }
    case Job::Line: {
        QFile file(job.path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append))
            file.write(job.bytes);
        return;
    }
    }
}

// Files are recycled: a removed record becomes a spare that the next new record is renamed from.
// Creating and deleting thousands of files a minute makes some file systems search ever longer
// for a free inode (ext4 skips recently deleted ones); a rename costs the same every time.
bool RecordWriter::keepSpare(const QString &path)
{
    if (m_spareFolder.isEmpty() || m_spares.size() >= MaxSpares)
        return false;
    const QString spare = m_spareFolder + QString::number(m_nextSpare++);
    if (!renameOver(path, spare))
        return false;
    // Emptied now, so that the record that takes it later is written without truncation.
    QFile file(spare);
    if (!file.open(QIODevice::ReadWrite) || !file.resize(0)) {
        file.close();
        QFile::remove(spare);
        return true;
    }
    m_spares.push_back(spare);
    return true;
}

void RecordWriter::reuseSpare(const QString &path)
{
    // Only ever for a file that is not there yet: record names are never reused.
    if (m_spares.empty())
        return;
    const QString spare = m_spares.back();
    m_spares.pop_back();
    if (!renameOver(spare, path))
        QFile::remove(spare);
}

void RecordWriter::setSpareFolder(const QString &folder)
{
    post({ Job::Spares, folder, {}, {}, {} });
}

void RecordWriter::settle(Job &job, bool ok, const QString &error)
{
    if (job.done)
        postIfAlive(job.replyTo, [done = std::move(job.done), ok, error] { done(ok, error); });
}
