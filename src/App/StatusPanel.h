#pragma once

#include "App/PanelState.h"
#include "App/ShellStatus.h"

#include <QWidget>

class QFrame;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace quillmere {

// What a linked account shows, in the tray's panel and on the main window's signed-in page:
// the banner (no network, downloads held), the state line, "Sync Now" and the pause toggle;
// below them the multi-device warning with its two answers, the files in conflict (each with
// "Acknowledge"), the recent files and the errors. It only draws what it is given and reports
// presses.
class StatusPanel : public QWidget
{
    Q_OBJECT

public:
    // The most recent files and errors listed; the engine keeps more errors.
    static constexpr int maxListed = 5;

    explicit StatusPanel(QWidget *parent = nullptr);

    void setStatus(const ShellStatus &status);
    void setDetails(const PanelDetails &details);

    QLabel *banner() const { return m_banner; }
    QLabel *line() const { return m_line; }
    QPushButton *syncNowButton() const { return m_syncNow; }
    QPushButton *pauseButton() const { return m_pause; }
    QFrame *warningBox() const { return m_warning; }
    QLabel *warningMessage() const { return m_warningMessage; }
    QLabel *warningPeers() const { return m_warningPeers; }
    QPushButton *dismissWarningButton() const { return m_dismissWarning; }
    QPushButton *stopWarningsButton() const { return m_stopWarnings; }
    QWidget *conflictList() const { return m_conflicts; }
    QWidget *recentList() const { return m_recent; }
    QWidget *errorList() const { return m_errors; }

    // How a recent file reads: "Uploaded", "Downloaded", "Verified already in sync", the
    // deletion it was, or (direction conflict) an upload the service took with a conflict.
    static QString recentFileAction(const RecentFile &file);
    // The devices of a warning its message does not name already (a service's message may
    // say where else the project is open), in the reply's order, each name once.
    static QStringList devicesNotNamed(const QString &message, const QStringList &devices);

Q_SIGNALS:
    void syncNowRequested();
    void pauseToggleRequested();
    void dismissWarningRequested();
    void stopWarningsRequested();
    void acknowledgeConflictRequested(const QString &localPath);

private:
    void showConflicts(const QList<ConflictItem> &conflicts);
    void showRecentFiles(const QList<RecentFile> &files);
    void showErrors(const QList<RecentFile> &errors);

    QLabel *m_banner = nullptr;
    QLabel *m_line = nullptr;
    QPushButton *m_syncNow = nullptr;
    QPushButton *m_pause = nullptr;
    QFrame *m_warning = nullptr;
    QLabel *m_warningMessage = nullptr;
    QLabel *m_warningPeers = nullptr;
    QPushButton *m_dismissWarning = nullptr;
    QPushButton *m_stopWarnings = nullptr;
    QWidget *m_conflicts = nullptr;
    QVBoxLayout *m_conflictRows = nullptr;
    QWidget *m_recent = nullptr;
    QVBoxLayout *m_recentRows = nullptr;
    QWidget *m_errors = nullptr;
    QVBoxLayout *m_errorRows = nullptr;
    PanelDetails m_details;
    bool m_detailsShown = false;
};

} // namespace quillmere
