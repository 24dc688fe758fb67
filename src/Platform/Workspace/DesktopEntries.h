#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

namespace quillmere {

// $XDG_DATA_HOME then each of $XDG_DATA_DIRS, with the defaults of the base-directory rules
// for unset or empty variables: the folders whose "applications" subfolders hold desktop
// entries, most important first.
QStringList defaultDataDirs();

// The language the user reads names in (LC_ALL, else LC_MESSAGES, else LANG).
QString defaultMessagesLocale();

// The desktop-file id of a ".desktop" file: its path below the first data folder's
// "applications" folder that holds it, with "/" turned into "-" and ".desktop" dropped; a file
// outside those folders is named by its file name alone. None for a name without ".desktop".
std::optional<QString> desktopFileId(const QString &filePath, const QStringList &dataDirs);

// The program an Exec line starts: its first word (quotes and escapes undone), past a leading
// "env VAR=value ...", found through the search path when it is a bare name. The canonical
// path, or empty when there is none.
QString programOfExec(const QString &exec, const QStringList &searchPath);

// The file a program is given to run, among the arguments that follow it: the first one that is
// neither an option ("-...") nor a field code ("%f"), when it names an existing regular file (a
// script for an interpreter, a jar for java). A relative path is taken from the working folder;
// without one only an absolute path counts. The canonical path, or empty when there is none.
QString scriptOfArguments(const QStringList &arguments, const QString &workingFolder);

// The script of an Exec line: scriptOfArguments of the words after its program.
QString scriptOfExec(const QString &exec);

struct DesktopEntry
{
    QString id;
    QString filePath;
    // Name[<locale>] for the messages locale, else Name.
    QString name;
    // The canonical path of the Exec program; empty when it cannot be found.
    QString program;
    // The script the Exec line hands its program (see scriptOfExec); empty for most entries.
    QString script;
    // Type=Application.
    bool application = false;
    // Hidden=true: the entry counts as deleted, and hides the same id in less important folders.
    bool hidden = false;
};

// The "[Desktop Entry]" group of one file (at most 256 KiB is read); none when the file cannot
// be read or has no such group.
std::optional<DesktopEntry> readDesktopEntry(const QString &filePath, const QString &locale,
                                             const QStringList &searchPath);

// Every application entry of the data folders, by id (the first folder that has an id wins, a
// hidden entry included, which hides the id) and by program. Immutable once built, so a scan on
// a worker thread may use it while another thread holds it.
class DesktopEntryIndex
{
public:
    static std::shared_ptr<const DesktopEntryIndex> build(const QStringList &dataDirs, const QString &locale,
                                                          const QStringList &searchPath);

    // False once a folder it read (or looked for) has been changed, made or removed since.
    bool isCurrent() const;

    const DesktopEntry *entryWithId(const QString &id) const;
    // The entry of the most important folder (then the smallest id) that starts this program
    // with this script. An entry that hands its program a script is only found with it: an
    // interpreter running something else is not that entry's application.
    const DesktopEntry *entryForProgram(const QString &canonicalProgram, const QString &canonicalScript = {}) const;

private:
    struct FolderStamp
    {
        QString path;
        bool exists = false;
        qint64 seconds = 0;
        qint64 nanoseconds = 0;
        bool operator==(const FolderStamp &) const = default;
    };
    static FolderStamp stampOf(const QString &path);

    std::vector<FolderStamp> m_stamps;
    QHash<QString, DesktopEntry> m_byId;
    // Keyed by program, or by program and script.
    QHash<QString, QString> m_idByProgram;
};

} // namespace quillmere
