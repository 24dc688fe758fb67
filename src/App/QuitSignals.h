#pragma once

#include <QDeadlineTimer>
#include <QObject>

#include <chrono>

class QSocketNotifier;

namespace quillmere {

// SIGTERM, SIGINT and SIGHUP as a Qt signal on the main thread. The handler only writes the
// signal's number and the time it arrived to a pipe (all a handler may safely do); the event
// loop reads it and emits quitRequested, so the application quits through its ordinary quit
// sequence while the loop still runs. One object per process; the handlers are put back when it
// is destroyed, unless a bounded quit is under way (see endQuitsWithin).
class QuitSignals : public QObject
{
    Q_OBJECT

public:
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;

    // False when the pipe or a handler could not be set up (the signals then act as before).
    bool isInstalled() const { return m_installed; }

    // From now on a quit ends the process with `exitCode` at the latest `bound` after it was
    // requested, whatever the main thread is doing then (a long save, a teardown that hangs): a
    // thread of its own keeps the time, woken by the handler itself, so a signal needs no turn
    // of the loop for it. The process then ends without its teardown (what is written by then is
    // whole: the store commits in transactions). Once a quit is under way the handlers stay for
    // the rest of the process, even after this object is gone, and absorb further signals: they
    // would otherwise kill the process in its last steps. Once per process.
    void endQuitsWithin(std::chrono::nanoseconds bound, int exitCode);
    // A quit requested elsewhere (the menu): with endQuitsWithin, the process ends by
    // `deadline` at the latest. An earlier deadline already armed stays.
    void quitUnderWay(QDeadlineTimer deadline);

Q_SIGNALS:
    // `arrivedAt`: when the handler ran, which may be well before the loop got to it (the main
    // thread busy with a long save, say). Of several signals read at once, the first.
    void quitRequested(int signal, std::chrono::steady_clock::time_point arrivedAt);

private:
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
    bool m_installed = false;
};

} // namespace quillmere
