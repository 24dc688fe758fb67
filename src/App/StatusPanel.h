#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

namespace quillmere {

class AppSession;

// What a linked account shows, in the tray's panel and on the main window's signed-in page:
// the banner (no network, downloads held), the state line, "Sync Now" and the pause toggle.
// It only draws the session's status and calls its operations.
class StatusPanel : public QWidget
{
    Q_OBJECT

public:
    explicit StatusPanel(AppSession &session, QWidget *parent = nullptr);

    QLabel *banner() const { return m_banner; }
    QLabel *line() const { return m_line; }
    QPushButton *syncNowButton() const { return m_syncNow; }
    QPushButton *pauseButton() const { return m_pause; }

private:
    void refresh();

    AppSession &m_session;
    QLabel *m_banner = nullptr;
    QLabel *m_line = nullptr;
    QPushButton *m_syncNow = nullptr;
    QPushButton *m_pause = nullptr;
};

} // namespace quillmere
