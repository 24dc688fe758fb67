#include "Platform/Files/Sha256Digest.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QRandomGenerator>

using quillmere::Sha256Digest;

TEST(Sha256Digest, MatchesTheStandardDigestWhateverTheChunksAndStartsOverAfterEachResult)
{
    Sha256Digest digest;
    EXPECT_EQ(digest.finishHex(), QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
    digest.add(QByteArrayView("abc"));
    EXPECT_EQ(digest.finishHex(), QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));

    // Several megabytes in uneven pieces, as a download's chunks arrive.
    QByteArray bytes(3 * 1024 * 1024 + 7, Qt::Uninitialized);
    QRandomGenerator generator(11);
    for (auto &byte : bytes)
        byte = char(generator.generate());
    for (qsizetype at = 0, step = 1; at < bytes.size(); at += step, step = step * 3 + 1)
        digest.add(QByteArrayView(bytes).sliced(at, std::min(step, bytes.size() - at)));
    EXPECT_EQ(digest.finishHex(), QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}
