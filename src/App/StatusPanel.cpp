#include "App/StatusPanel.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QVBoxLayout>

#include <algorithm>

namespace quillmere {

namespace {

QLabel *plainLabel(const char *name, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    // File names and the service's messages are shown as they are, never as markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

QLabel *sectionTitle(const QString &text, QWidget *parent)
{
    auto *title = new QLabel(text, parent);
    title->setTextFormat(Qt::PlainText);
    QFont font = title->font();
    font.setBold(true);
    title->setFont(font);
    return title;
}

// A titled list whose rows are put in the returned layout.
QWidget *section(const char *name, const QString &title, QVBoxLayout *&rows, QWidget *parent)
{
    auto *box = new QWidget(parent);
    box->setObjectName(QLatin1String(name));
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    layout->addWidget(sectionTitle(title, box));
    rows = new QVBoxLayout;
    rows->setSpacing(4);
    layout->addLayout(rows);
    box->hide();
    return box;
}

// A row's button may be the one whose press led here: the rows leave at once and are deleted
// once that press is over.
void clearRows(QVBoxLayout *rows)
{
    while (QLayoutItem *item = rows->takeAt(0)) {
        if (QWidget *widget = item->widget()) {
            widget->hide();
            widget->setParent(nullptr);
            widget->deleteLater();
        }
        delete item;
    }
}

QString arrow(SyncFileDirection direction)
{
    switch (direction) {
    case SyncFileDirection::upload:
        return QStringLiteral("↑");
    case SyncFileDirection::download:
        return QStringLiteral("↓");
    case SyncFileDirection::conflict:
        break;
    }
    return QStringLiteral("—");
}

QString timeOf(const QDateTime &when)
{
    return when.toLocalTime().time().toString(QStringLiteral("HH:mm"));
}

void setSecondary(QLabel *label)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
}

} // namespace

StatusPanel::StatusPanel(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("statusPanel"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);

    m_banner = plainLabel("statusBanner", this);
    m_banner->setAutoFillBackground(true);
    m_banner->setContentsMargins(8, 6, 8, 6);
    QPalette warning = m_banner->palette();
    warning.setColor(QPalette::Window, QColor(255, 236, 200));
    warning.setColor(QPalette::WindowText, QColor(110, 60, 0));
    m_banner->setPalette(warning);
    layout->addWidget(m_banner);

    m_line = plainLabel("statusLine", this);
    QFont font = m_line->font();
    font.setPointSizeF(font.pointSizeF() * 1.1);
    m_line->setFont(font);
    layout->addWidget(m_line);

    auto *buttons = new QHBoxLayout;
    m_syncNow = new QPushButton(shellText("Sync Now"), this);
    m_syncNow->setObjectName(QStringLiteral("syncNowButton"));
    m_pause = new QPushButton(this);
    m_pause->setObjectName(QStringLiteral("pauseButton"));
    buttons->addWidget(m_syncNow);
    buttons->addWidget(m_pause);
    buttons->addStretch(1);
    layout->addLayout(buttons);

    // The multi-device warning.
    m_warning = new QFrame(this);
    m_warning->setObjectName(QStringLiteral("warningBox"));
    m_warning->setAutoFillBackground(true);
    m_warning->setFrameShape(QFrame::StyledPanel);
    m_warning->setPalette(warning);
    auto *warningLayout = new QVBoxLayout(m_warning);
    warningLayout->setContentsMargins(10, 8, 10, 8);
    warningLayout->setSpacing(6);
    warningLayout->addWidget(sectionTitle(shellText("Heads up — open on another device"), m_warning));
    m_warningMessage = plainLabel("warningMessage", m_warning);
    warningLayout->addWidget(m_warningMessage);
    m_warningPeers = plainLabel("warningPeers", m_warning);
    warningLayout->addWidget(m_warningPeers);
    auto *answers = new QHBoxLayout;
    m_dismissWarning = new QPushButton(shellText("Dismiss"), m_warning);
    m_dismissWarning->setObjectName(QStringLiteral("dismissWarningButton"));
    m_stopWarnings = new QPushButton(shellText("Don't show again"), m_warning);
    m_stopWarnings->setObjectName(QStringLiteral("stopWarningsButton"));
    answers->addWidget(m_dismissWarning);
    answers->addWidget(m_stopWarnings);
    answers->addStretch(1);
    warningLayout->addLayout(answers);
    m_warning->hide();
    layout->addWidget(m_warning);

    m_conflicts = section("conflictList", shellText("Conflicts to review"), m_conflictRows, this);
    layout->addWidget(m_conflicts);
    m_recent = section("recentList", shellText("Recent files"), m_recentRows, this);
    layout->addWidget(m_recent);
    m_errors = section("errorList", shellText("Errors"), m_errorRows, this);
    layout->addWidget(m_errors);

    connect(m_syncNow, &QPushButton::clicked, this, &StatusPanel::syncNowRequested);
    connect(m_pause, &QPushButton::clicked, this, &StatusPanel::pauseToggleRequested);
    connect(m_dismissWarning, &QPushButton::clicked, this, &StatusPanel::dismissWarningRequested);
    connect(m_stopWarnings, &QPushButton::clicked, this, &StatusPanel::stopWarningsRequested);
    setStatus(ShellStatus());
}

void StatusPanel::setStatus(const ShellStatus &status)
{
    const QString banner = statusBanner(status);
    m_banner->setText(banner);
    m_banner->setVisible(!banner.isEmpty());
    m_line->setText(statusLine(status));
    m_syncNow->setEnabled(canSyncNow(status));
    m_pause->setText(pauseActionTitle(status));
    m_pause->setEnabled(canTogglePause(status));
}

void StatusPanel::setDetails(const PanelDetails &details)
{
    const bool first = !m_detailsShown;
    if (!first && details == m_details)
        return;
    m_detailsShown = true;
    if (details.warning) {
        m_warningMessage->setText(details.warning->message);
        const QString peers =
            devicesNotNamed(details.warning->message, details.warning->peerDeviceNames).join(QStringLiteral(", "));
        m_warningPeers->setText(shellText("Also open on: %1").arg(peers));
        m_warningPeers->setVisible(!peers.isEmpty());
    }
    m_warning->setVisible(details.warning.has_value());
    if (first || details.conflicts != m_details.conflicts)
        showConflicts(details.conflicts);
    if (first || details.recentFiles != m_details.recentFiles)
        showRecentFiles(details.recentFiles);
    if (first || details.syncErrors != m_details.syncErrors)
        showErrors(details.syncErrors);
    m_details = details;
}

QString StatusPanel::recentFileAction(const RecentFile &file)
{
    // Sent, but not as a plain upload: the service keeps another version beside it.
    if (file.direction == SyncFileDirection::conflict)
        return shellText("Sent — in conflict, see Conflicts to review");
    switch (file.kind) {
    case RecentFile::Kind::verified:
        return shellText("Verified already in sync");
    case RecentFile::Kind::replaced:
        return shellText("Uploaded — replaced Harborly's version");
    case RecentFile::Kind::deleted:
        // Which side deleted comes first: the other side only followed.
        return file.direction == SyncFileDirection::download
                   ? shellText("Deleted at Harborly — removed from this computer")
                   : shellText("Deleted on this computer — removed from Harborly");
    case RecentFile::Kind::transferred:
        break;
    }
    return file.direction == SyncFileDirection::download ? shellText("Downloaded") : shellText("Uploaded");
}

QStringList StatusPanel::devicesNotNamed(const QString &message, const QStringList &devices)
{
    QStringList unique;
    for (const QString &device : devices)
        if (!device.trimmed().isEmpty() && !unique.contains(device, Qt::CaseInsensitive))
            unique << device;
    // Longest first, and each mention is used up once found: "Studio" is not taken as named
    // by a message that only names "Studio Mac".
    QStringList byLength = unique;
    std::stable_sort(byLength.begin(), byLength.end(),
                     [](const QString &a, const QString &b) { return a.size() > b.size(); });
    QString rest = message;
    QSet<QString> named;
    for (const QString &device : std::as_const(byLength)) {
        const QRegularExpression word(QStringLiteral("(?<![\\p{L}\\p{N}])%1(?![\\p{L}\\p{N}])")
                                          .arg(QRegularExpression::escape(device)),
                                      QRegularExpression::CaseInsensitiveOption);
        const QRegularExpressionMatch found = word.match(rest);
        if (!found.hasMatch())
            continue;
        rest.replace(found.capturedStart(), found.capturedLength(), QString(found.capturedLength(), u' '));
        named.insert(device);
    }
    unique.removeIf([&](const QString &device) { return named.contains(device); });
    return unique;
}

void StatusPanel::showConflicts(const QList<ConflictItem> &conflicts)
{
    clearRows(m_conflictRows);
    for (const ConflictItem &conflict : conflicts) {
        auto *row = new QWidget(m_conflicts);
        row->setObjectName(QStringLiteral("conflictRow"));
        auto *rowLayout = new QHBoxLayout(row);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        auto *text = new QVBoxLayout;
        text->setSpacing(2);
        auto *name = plainLabel("conflictFile", row);
        name->setText(shellText("%1 — in %2").arg(conflict.filename, conflict.folderName));
        text->addWidget(name);
        auto *message = plainLabel("conflictMessage", row);
        message->setText(conflict.message.isEmpty() ? shellText("Harborly holds another version of this file.")
                                                    : conflict.message);
        setSecondary(message);
        text->addWidget(message);
        rowLayout->addLayout(text, 1);
        auto *acknowledge = new QPushButton(shellText("Acknowledge"), row);
        acknowledge->setObjectName(QStringLiteral("acknowledgeButton"));
        const QString path = conflict.localPath;
        connect(acknowledge, &QPushButton::clicked, this, [this, path] { Q_EMIT acknowledgeConflictRequested(path); });
        rowLayout->addWidget(acknowledge, 0, Qt::AlignTop);
        m_conflictRows->addWidget(row);
    }
    m_conflicts->setVisible(!conflicts.isEmpty());
}

void StatusPanel::showRecentFiles(const QList<RecentFile> &files)
{
    clearRows(m_recentRows);
    for (const RecentFile &file : files.mid(0, maxListed)) {
        auto *row = plainLabel("recentFile", m_recent);
        row->setText(QStringLiteral("%1 %2 · %3 · %4").arg(arrow(file.direction), file.filename, recentFileAction(file),
                                                             timeOf(file.timestamp)));
        m_recentRows->addWidget(row);
    }
    m_recent->setVisible(!files.isEmpty());
}

void StatusPanel::showErrors(const QList<RecentFile> &errors)
{
    clearRows(m_errorRows);
    for (const RecentFile &error : errors.mid(0, maxListed)) {
        auto *row = plainLabel("syncError", m_errors);
        row->setText(QStringLiteral("%1 %2 — %3").arg(arrow(error.direction), error.filename,
                                                       error.errorMessage.value_or(shellText("Sync failed"))));
        m_errorRows->addWidget(row);
    }
    if (errors.size() > maxListed) {
        auto *more = plainLabel("moreErrors", m_errors);
        more->setText(shellText("and %1 more").arg(errors.size() - maxListed));
        setSecondary(more);
        m_errorRows->addWidget(more);
    }
    m_errors->setVisible(!errors.isEmpty());
}

} // namespace quillmere
