#pragma once

#include <QString>
#include <QStringList>

// A real folder tree for the path-mapping targets: a root with folders, a file and links of
// every kind (out of the root, inside it, dangling, looping, absolute), beside a folder
// outside the root that nothing may ever write to.
namespace quillmere::fuzz {

class PathFixture
{
public:
    // Makes the tree under `base` (which must exist and be empty).
    explicit PathFixture(const QString &base);

    QString base() const { return m_base; }
    QString root() const { return m_base + QStringLiteral("/root"); }
    QString outside() const { return m_base + QStringLiteral("/outside"); }
    // The root as a caller may hold it: plain, with a trailing "/", through a link, with "." parts.
    QStringList rootSpellings() const;

    // Whether everything outside the root is as it was made (the outside folder, the base's
    // entries, what the links point at).
    bool outsideUntouched(QString *what) const;
    // Removes everything below the root that the tree did not have.
    void resetRoot() const;

private:
    QString m_base;
};

// Every entry below `folder` (links not followed), as paths relative to it, sorted.
QStringList treeOf(const QString &folder);

// The real path, or an empty string.
QString realPath(const QString &path);

// Whether `path` is `folder` or lies below it (as strings; both already real paths).
bool isWithin(const QString &path, const QString &folder);

// Text from fuzz bytes: UTF-8 as a reply carries it, or raw UTF-16 (any code unit, lone
// surrogates included, as a JSON escape can make).
QString textFrom(const QByteArray &bytes, bool utf16);

} // namespace quillmere::fuzz
