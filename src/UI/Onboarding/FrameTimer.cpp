#include "UI/Onboarding/FrameTimer.h"

#include <QEvent>
#include <QWidget>
#include <QWindow>

namespace quillmere {

FrameTimer::FrameTimer(QWidget *watched) : QObject(watched), m_watched(watched)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(interval);
    connect(&m_timer, &QTimer::timeout, this, &FrameTimer::frame);
    watched->installEventFilter(this);
    watchWindow();
    refresh();
}

void FrameTimer::watchWindow()
{
    if (!m_watched)
        return;
    QWidget *topLevel = m_watched->window();
    if (topLevel != m_topLevel) {
        if (m_topLevel && m_topLevel != m_watched)
            m_topLevel->removeEventFilter(this);
        m_topLevel = topLevel;
        if (m_topLevel != m_watched)
            m_topLevel->installEventFilter(this);
    }
    QWindow *window = topLevel->windowHandle();
    if (window != m_window) {
        if (m_window)
            m_window->removeEventFilter(this);
        m_window = window;
        if (m_window)
            m_window->installEventFilter(this);
    }
}

void FrameTimer::refresh()
{
    // Minimising hides the children only "spontaneously": they still count as visible, so
    // the window's state is asked as well.
    const bool run = m_watched && m_watched->isVisible() && m_topLevel && !m_topLevel->isMinimized() && m_window &&
                     m_window->isExposed();
    if (run && !m_timer.isActive())
        m_timer.start();
    else if (!run && m_timer.isActive())
        m_timer.stop();
}

bool FrameTimer::eventFilter(QObject *object, QEvent *event)
{
    switch (event->type()) {
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::ParentChange:
    case QEvent::WindowStateChange:
    case QEvent::Expose:
    case QEvent::PlatformSurface:
        if (object == m_watched || object == m_topLevel)
            watchWindow();
        refresh();
        // Some of these arrive before the state they announce is complete; look again once
        // the event has been handled.
        QMetaObject::invokeMethod(this, &FrameTimer::refresh, Qt::QueuedConnection);
        break;
    default:
        break;
    }
    return QObject::eventFilter(object, event);
}

} // namespace quillmere
