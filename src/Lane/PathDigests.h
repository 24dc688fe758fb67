#pragma once

#include <QString>
#include <QStringView>

#include <array>
#include <vector>

namespace quillmere {

// A set of paths kept as their SHA-256 (32 bytes each, sorted): what a full sync must know of
// the whole folder while it handles one chunk of files at a time, without a string per file.
class PathDigests
{
public:
    using Digest = std::array<unsigned char, 32>;

    static Digest digestOf(QStringView path);

    // Adds paths; contains() answers once finish() has sorted them.
    void add(QStringView path) { m_digests.push_back(digestOf(path)); }
    void add(const Digest &digest) { m_digests.push_back(digest); }
    void finish();
    bool contains(QStringView path) const { return contains(digestOf(path)); }
    bool contains(const Digest &digest) const;
    qsizetype size() const { return qsizetype(m_digests.size()); }

private:
    std::vector<Digest> m_digests;
};

} // namespace quillmere
