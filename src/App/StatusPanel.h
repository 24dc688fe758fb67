#pragma once

#include "App/ShellStatus.h"

#include <QWidget>

class QLabel;
class QPushButton;

namespace quillmere {

// What a linked account shows, in the tray's panel and on the main window's signed-in page:
// the banner (no network, downloads held), the state line, "Sync Now" and the pause toggle.
// It only draws the status it is given and reports presses.
class StatusPanel : public QWidget
{
    Q_OBJECT

public:
    explicit StatusPanel(QWidget *parent = nullptr);

    void setStatus(const ShellStatus &status);

    QLabel *banner() const { return m_banner; }
    QLabel *line() const { return m_line; }
    QPushButton *syncNowButton() const { return m_syncNow; }
    QPushButton *pauseButton() const { return m_pause; }

Q_SIGNALS:
    void syncNowRequested();
    void pauseToggleRequested();

private:
    QLabel *m_banner = nullptr;
    QLabel *m_line = nullptr;
    QPushButton *m_syncNow = nullptr;
    QPushButton *m_pause = nullptr;
};

} // namespace quillmere
