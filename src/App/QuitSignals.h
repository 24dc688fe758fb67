#pragma once

#include <QObject>

#include <chrono>

class QSocketNotifier;

namespace quillmere {

// SIGTERM, SIGINT and SIGHUP as a Qt signal on the main thread. The handler only writes the
// signal's number and the time it arrived to a pipe (all a handler may safely do); the event
// loop reads it and emits quitRequested, so the application quits through its ordinary quit
// sequence while the loop still runs. One object per process; the handlers are put back when it
// is destroyed.
class QuitSignals : public QObject
{
    Q_OBJECT

public:
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;

    // False when the pipe or a handler could not be set up (the signals then act as before).
    bool isInstalled() const { return m_installed; }

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
