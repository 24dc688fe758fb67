#pragma once

#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>

namespace quillmere {

class ApplicationEvents;
class ModelContext;
class SyncFolder;

// The running applications that guard one folder, as a lane needs them.
struct RunningGuards
{
    // Their display names (a desktop entry's Name, else the program file's name). Empty when
    // no guarding application runs.
    QSet<QString> names;
    // What else a rule's conditionValue may call them: their bundle identifiers, and the
    // appName and bundle identifier of each guarding profile found running. The profile's
    // name is what the rule made with it tests, and it is not the desktop entry's name.
    QSet<QString> otherNames;
    // The appName of each guarding profile counted as running (its identifier when it has no
    // name), in the order the folder's profiles come: what a report to the service calls the
    // application, the same on every device whatever the desktop's language, and what the
    // lane's notice about held downloads calls it, as the user named it in the settings.
    QStringList profileNames;
    // The process list could not be read (no scan yet, or the scan failed): every guarding
    // profile counts as running, named by its appName, since a download into an open project
    // is the worse error.
    bool assumed = false;

    bool any() const { return !names.isEmpty(); }
    // The set a rule's condition is tested against.
    QSet<QString> ruleNames() const { return names | otherNames; }
};

// Tells a lane which of the applications that guard its folder are running. Main thread only.
class DAWRunningStateProvider
{
public:
    virtual ~DAWRunningStateProvider() = default;

    virtual RunningGuards runningGuards(const SyncFolder &folder, ModelContext &context) = 0;

    // The display names of the running applications that guard the folder.
    QSet<QString> runningDAWs(const SyncFolder &folder, ModelContext &context)
    {
        return runningGuards(folder, context).names;
    }
};

// The provider of every lane: the folder's guarding profiles matched, by identifier, against
// the application's one list of running applications.
//
// A folder with allDAWs is guarded by every enabled profile (one fetch per call); otherwise by
// its associatedDAWs, enabled or not. A profile is identified by
// ApplicationEvents::bundleIdentifierOf (desktop-file id, or an executable's canonical path),
// read on every call, so one whose file is gone guards nothing from then on. The process list
// is never scanned here: it is the latest snapshot of the shared RunningApplications.
//
// There is no activation policy to tell ordinary applications from background ones: any of
// the user's processes that answers to a guarding profile counts, helpers included, since a
// DAW's audio engine keeps the project open as much as its window does.
class SystemDAWRunningStateProvider final : public DAWRunningStateProvider
{
public:
    // The application events outlive the lanes; should they go first, nothing can be told
    // and every guard counts as running.
    explicit SystemDAWRunningStateProvider(ApplicationEvents &applications);

    RunningGuards runningGuards(const SyncFolder &folder, ModelContext &context) override;

private:
    QPointer<ApplicationEvents> m_applications;
};

} // namespace quillmere
