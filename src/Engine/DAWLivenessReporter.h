#pragma once

#include "Platform/Async/TaskHandle.h"
#include "ServiceAPI/LibraryAPIClient.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>

namespace quillmere {

class Clock;
class DAWRunningStateProvider;
class ModelContext;

// Tells the service, every 30 s, which enabled sync folders have a guarding application
// running on this device, and raises `activeWarning` when the service answers that the same
// is open on another device. Main thread only.
//
// A folder is reported when the running-state provider (the lanes' own guard) finds one of its
// guarding applications running, whether or not its guards are switched on (those hold this
// device's sync; the warning is about the other devices); a folder whose guards cannot be told
// (no process list yet) is neither reported nor counted as closed: claiming an open project on
// a guess would warn the other device. A cycle in which every enabled folder is known to be closed clears the warning.
//
// What a report sends is copied when the cycle runs. A stop or a new context ends the reports in
// flight, and a reply is applied only while its folder is still enabled in the store, so a
// reply that returns after a stop or a wipe changes nothing.
class DAWLivenessReporter : public QObject
{
    Q_OBJECT
    Q_PROPERTY(std::optional<quillmere::DAWLivenessReporter::Warning> activeWarning READ activeWarning WRITE
                   setActiveWarning NOTIFY activeWarningChanged)
    Q_PROPERTY(bool optedOut READ optedOut WRITE setOptedOut NOTIFY optedOutChanged)

public:
    struct Warning
    {
        QUuid id;
        // The "source_key" of the report whose reply raised it.
        QString sourceKey;
        QString message;
        // The other devices, in the reply's order.
        QStringList peerDeviceNames;

        bool operator==(const Warning &) const = default;
    };

    static constexpr std::chrono::seconds interval{30};
    static QString optOutKey() { return QStringLiteral("quillmere.daw.liveness.optOut"); }
    static QString defaultWarningMessage();

    // The client is the engine's one service client; the clock outlives the reporter. The
    // provider tells which guarding applications of a folder run.
    DAWLivenessReporter(std::shared_ptr<LibraryAPIClient> apiClient, Clock &clock,
                        std::shared_ptr<DAWRunningStateProvider> runningState, QObject *parent = nullptr);
    ~DAWLivenessReporter() override;

    const std::optional<Warning> &activeWarning() const { return m_activeWarning; }
    // The panel's "Dismiss" writes none; an equal value notifies nobody.
    void setActiveWarning(std::optional<Warning> warning);
    bool optedOut() const { return m_optedOut; }
    // Always written to the standard user defaults; observers hear only of a change.
    void setOptedOut(bool value);

    // Without a context every cycle is empty. A new context drops the replies still owed
    // under the old one.
    const std::shared_ptr<ModelContext> &modelContext() const { return m_modelContext; }
    void setModelContext(std::shared_ptr<ModelContext> context);

    // Runs one cycle at once and then one every `interval`; nothing while it runs.
    void start();
    // Ends the cycles and the reports in flight; nothing when it does not run.
    void stopTimer();
    bool isRunning() const { return m_timer.isRunning(); }

    // One cycle: a report for every enabled folder with a guarding application running,
    // except a folder whose previous report is still in flight (replies never land out of
    // order).
    void tick();
    // Applies one reply of a report sent for `sourceKey`.
    void handleReport(const LibraryAPIClient::DAWLivenessReply &reply, const QString &sourceKey);
    // Whether a report still waits for its reply.
    bool isReporting() const;

Q_SIGNALS:
    void activeWarningChanged();
    void optedOutChanged();

private:
    // Everything one report needs, copied when the cycle runs.
    struct Report
    {
        QUuid folderID;
        QString sourceKey;
        std::optional<QString> dawName;
        QString deviceID;
        QString deviceName;
    };

    static QCoro::Task<> timerLoop(QPointer<DAWLivenessReporter> self, Clock &clock, std::stop_token stop);
    static QCoro::Task<> send(QPointer<DAWLivenessReporter> self, std::shared_ptr<LibraryAPIClient> apiClient,
                              Report report, std::stop_token stop);
    void applyReply(const Report &report, const LibraryAPIClient::DAWLivenessReply &reply);

    std::optional<Warning> m_activeWarning;
    bool m_optedOut = false;
    std::shared_ptr<LibraryAPIClient> m_apiClient;
    Clock &m_clock;
    std::shared_ptr<DAWRunningStateProvider> m_runningState;
    std::shared_ptr<ModelContext> m_modelContext;
    TaskHandle m_timer;
    // One report at most per folder, by the folder's stable id. Dropping a handle stops its
    // report: its reply is then never applied.
    std::map<QUuid, TaskHandle> m_inFlight;
};

} // namespace quillmere
