#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>

class QWidget;
class QWindow;

namespace quillmere {

// A precise 16 ms timer for an animated widget that runs only while the widget is shown
// (its page current, its window open) and its window is exposed and not minimised, so an
// animation costs nothing behind other windows or in the dock. One timer however often
// the widget is shown. Owned by the widget it watches.
class FrameTimer : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds interval{16};

    explicit FrameTimer(QWidget *watched);

    bool isRunning() const { return m_timer.isActive(); }

Q_SIGNALS:
    void frame();

protected:
    bool eventFilter(QObject *object, QEvent *event) override;

private:
    // Follows the widget's current window (it may be moved into another one).
    void watchWindow();
    void refresh();

    QPointer<QWidget> m_watched;
    QPointer<QWidget> m_topLevel;
    QPointer<QWindow> m_window;
    QTimer m_timer;
};

} // namespace quillmere
