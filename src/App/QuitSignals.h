#pragma once

#include <QObject>

class QSocketNotifier;

namespace quillmere {

// SIGTERM, SIGINT and SIGHUP as a Qt signal on the main thread. The handler only writes the
// signal's number to a pipe (all a handler may safely do); the event loop reads it and emits
// quitRequested, so the application quits through its ordinary quit sequence while the loop
// still runs. One object per process; the handlers are put back when it is destroyed.
class QuitSignals : public QObject
{
    Q_OBJECT

public:
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;

    // False when the pipe or a handler could not be set up (the signals then act as before).
    bool isInstalled() const { return m_installed; }

Q_SIGNALS:
    void quitRequested(int signal);

private:
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
    bool m_installed = false;
};

} // namespace quillmere
