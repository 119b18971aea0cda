#pragma once

#include "CrossThread.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// One per thread: tells the producers on that thread that a file they paused for has drained.
class RecordWriterNotifier : public QObject
{
    Q_OBJECT

public:
    ~RecordWriterNotifier() override;

protected:
    // Calls posted by the writer's thread.
    void customEvent(QEvent *event) override;

signals:
    void drained(const QString &path);

private:
    friend class RecordWriter;
    // What the writer's thread reports to this thread.
    CrossThread::Inbox m_inbox;
};

// Writes record files and log-file lines on a thread of its own, so that the window thread never
// waits on the disk. Jobs run in the order they were posted; the window thread shares nothing
// with the writer but the queue. What a job reports comes back on the window thread.
class RecordWriter : public QObject
{
    Q_OBJECT

public:
    // Called on the thread that posted the job once it has run: ok, or why not. A job posted from
    // a thread that has ended by then reports nothing.
    using Done = std::function<void(bool ok, const QString &error)>;

    // Above this many bytes still to be written for one file, its producer should pause; the
    // writer says so with the notifier's drained() once it is below a quarter of it.
    static constexpr qint64 PauseAbove = 4 * 1024 * 1024;
    // The same for all files together: many small records can outrun the disk as one large one
    // can, and each waits in memory until written.
    static constexpr qint64 TotalPauseAbove = 16 * 1024 * 1024;
    // And for the number of jobs waiting: small records cost more in the exchanges that wait for
    // them than in their bytes. Producers go on as soon as a few of them have run, so that the
    // pauses stay short.
    static constexpr size_t MaxQueuedJobs = 2048;
    static constexpr size_t ResumeBelowJobs = MaxQueuedJobs - 128;

    // The program's one writer, made on first use.
    static RecordWriter &instance();

    explicit RecordWriter(QObject *parent = nullptr);
    // Writes everything still queued, then ends the thread.
    ~RecordWriter() override;

    // Creates or replaces the file with these bytes.
    void write(const QString &path, const QByteArray &bytes, Done done = {});
    // Appends to the file, which stays open between appends; the first append creates it.
    void append(const QString &path, const QByteArray &bytes);
    // Closes what append wrote to `from` and renames it to `to`, replacing any file there.
    void finish(const QString &from, const QString &to, Done done = {});
    // Renames a finished file to `to`, replacing any file there; nothing happens when it is missing.
    void rename(const QString &from, const QString &to);
    // Closes the file if appends left it open, and deletes it.
    void remove(const QString &path);
    // Opens the file, appends one line, closes it again; failures are ignored.
    void appendLine(const QString &path, const QByteArray &line);

    // True when no job touching path (as its file or its new name) is queued or running;
    // waits for that at most timeoutMs.
    bool waitUntilWritten(const QString &path, int timeoutMs);
    // Waits until every job posted so far has run.
    bool drain(int timeoutMs);
    // Bytes posted for path and not yet written; over PauseAbove, or over TotalPauseAbove for
    // all files, the caller is asked to pause and will hear drained(path) from the notifier of
    // the thread that asked once both are below a quarter of their bound.
    bool shouldPause(const QString &path);

    // Removed files are kept in this folder (on the same file system as the records, ending with
    // the separator) and renamed into place for new ones; an empty name turns that off. The
    // folder is emptied now and removed when the writer ends.
    void setSpareFolder(const QString &folder);
    static constexpr size_t MaxSpares = 2000;

    // While held, the thread takes no job (tests use it to let a backlog build up).
    void holdForTest(bool hold);

    // The calling thread's notifier, made on first use and gone with the thread.
    static RecordWriterNotifier *notifier();

protected:
    void customEvent(QEvent *event) override;

private:
    struct Job {
        enum Kind { Write, Append, Finish, Rename, Remove, Line, Spares } kind;
        QString path, to;
        QByteArray bytes;
        Done done;
        RecordWriterNotifier *replyTo = nullptr; // the posting thread's, where done runs
    };
    // Posts the call to the notifier's thread, unless that thread has ended.
    template <typename F> static void postIfAlive(RecordWriterNotifier *notifier, F &&call);

    void post(Job job);
    bool waitUntil(const std::function<bool()> &done, int timeoutMs);
    void wakeWriter();
    void run();
    void perform(Job &job);
    void notifyDrained();
    bool overloaded() const;
    // Hands the job's callback, with everything it holds, over to the posting thread.
    void settle(Job &job, bool ok, const QString &error);
    bool keepSpare(const QString &path);
    void reuseSpare(const QString &path);

    // Shared with the thread, under m_mutex.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Job> m_queue;
    QHash<QString, int> m_pendingJobs;
    QHash<QString, qint64> m_pendingBytes;
    qint64 m_totalPending = 0;
    QHash<QString, RecordWriterNotifier *> m_watched; // paused producers' threads
    bool m_running = false; // a job is being performed
    bool m_stop = false;
    bool m_held = false;
    int m_waiters = 0; // window-thread calls waiting for the writer
    bool m_wakePosted = false;

    // The writer thread's own.
    QString m_spareFolder;
    std::vector<QString> m_spares;
    quint64 m_nextSpare = 0;

    std::thread m_thread;
};
