#include "fake-service/FakeServiceState.h"

#include "fake-service/FakeJson.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

namespace quillmere::test {

QString FakeServiceState::issueTokenLocked(qint64 accountId, QDateTime expiresAt)
{
    if (!expiresAt.isValid())
        expiresAt = QDateTime::currentDateTimeUtc().addSecs(tokenLifetime.count());
    const QString text = QStringLiteral("tok-%1-%2")
                             .arg(nextTokenNumber++)
                             .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
    FakeToken token;
    token.token = text;
    token.accountId = accountId;
    // Whole seconds: the reply carries no fractions, so the client's copy matches this one.
    token.expiresAt = QDateTime::fromSecsSinceEpoch(expiresAt.toSecsSinceEpoch(), Qt::UTC);
    tokens[text] = token;
    return text;
}

QJsonObject FakeServiceState::tokenReplyLocked(const FakeToken &token) const
{
    QJsonObject reply{
        {QStringLiteral("token"), token.token},
        {QStringLiteral("expires_at"), fakeDateText(token.expiresAt)},
    };
    const auto account = accounts.find(token.accountId);
    if (account != accounts.end()) {
        reply.insert(QStringLiteral("home_api_url"), account->second.homeAPIURL.value_or(baseURL));
        reply.insert(QStringLiteral("shard_id"), account->second.shardId);
    }
    return reply;
}

const FakeToken *FakeServiceState::presentedTokenLocked(const FakeRequest &request) const
{
    const std::string authorization = request.header("Authorization").value_or(std::string());
    static const std::string prefix = "Bearer ";
    if (authorization.rfind(prefix, 0) != 0)
        return nullptr;
    const auto found = tokens.find(QString::fromStdString(authorization.substr(prefix.size())));
    if (found == tokens.end() || found->second.revoked)
        return nullptr;
    return &found->second;
}

std::variant<qint64, FakeReply> FakeServiceState::authoriseLocked(const FakeRequest &request) const
{
    if (auto refused = requireAcceptJson(request))
        return *refused;
    const FakeToken *token = presentedTokenLocked(request);
    if (!token)
        return FakeReply::failure(401, QStringLiteral("Invalid or missing token"), QStringLiteral("unauthorized"));
    const auto account = accounts.find(token->accountId);
    if (account == accounts.end())
        return FakeReply::failure(401, QStringLiteral("Account not found"), QStringLiteral("unauthorized"));

    // The edge routes by shard before the shard itself looks at the token's age.
    const auto shard = request.header("X-Shard-Id");
    if (shard && QString::fromStdString(*shard) != account->second.shardId) {
        const ShardHint hint = account->second.shardHint;
        QJsonObject body{{QStringLiteral("message"), QStringLiteral("Account lives on another shard")},
                         {QStringLiteral("error"), QStringLiteral("wrong_shard")}};
        if (hint == ShardHint::body || hint == ShardHint::headerAndBody)
            body.insert(QStringLiteral("shard_id"), account->second.shardId);
        FakeReply reply = FakeReply::json(421, body);
        if (hint == ShardHint::header || hint == ShardHint::headerAndBody)
            reply.headers.emplace_back("X-Shard-Id", account->second.shardId.toStdString());
        return reply;
    }

    if (!token->accepted || token->expiresAt <= QDateTime::currentDateTimeUtc())
        return FakeReply::failure(401, QStringLiteral("Token expired"), QStringLiteral("token_expired"));
    return token->accountId;
}

void FakeServiceState::measure(FakeLibraryFile &file)
{
    if (!file.contentPath.isEmpty()) {
        if (file.fileSize < 0)
            file.fileSize = QFileInfo(file.contentPath).size();
        if (file.checksum.isEmpty()) {
            QFile source(file.contentPath);
            FakeSha256 hash;
            if (source.open(QIODevice::ReadOnly)) {
                QByteArray block(1024 * 1024, Qt::Uninitialized);
                for (qint64 n; (n = source.read(block.data(), block.size())) > 0;)
                    hash.add(block.constData(), size_t(n));
            }
            file.checksum = hash.finishHex();
        }
    } else if (!file.received.empty()) {
        if (file.fileSize < 0) {
            file.fileSize = 0;
            for (const FakeReceivedBody &piece : file.received)
                file.fileSize += piece.size;
        }
        if (file.checksum.isEmpty()) {
            FakeSha256 hash;
            for (const FakeReceivedBody &piece : file.received)
                piece.forEachBlock([&hash](const char *data, qsizetype length) { hash.add(data, size_t(length)); });
            file.checksum = hash.finishHex();
        }
    } else {
        if (file.fileSize < 0)
            file.fileSize = file.content.size();
        if (file.checksum.isEmpty())
            file.checksum = FakeSha256::hexOf(file.content);
    }
}

qint64 FakeServiceState::addFileLocked(FakeLibraryFile file)
{
    if (file.id == 0)
        file.id = nextFileId++;
    else
        nextFileId = std::max(nextFileId, file.id + 1);
    measure(file);
    const QDateTime now = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
    if (!file.createdAt.isValid())
        file.createdAt = now;
    if (!file.updatedAt.isValid())
        file.updatedAt = file.createdAt;
    files.put(file);
    recordChangeLocked(QStringLiteral("created"), file);
    return file.id;
}

void FakeServiceState::recordChangeLocked(const QString &action, const FakeLibraryFile &file)
{
    FakeChange change;
    change.sequence = nextSequence++;
    change.action = action;
    change.recordedAt = QDateTime::currentDateTimeUtc();
    change.file = file;
    change.file.content.clear(); // the feed never serves bytes
    change.file.received.clear();
    if (action == QLatin1String("deleted"))
        change.deletedAt = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
    changes[file.accountId].push_back(std::move(change));
}

void FakeServiceState::deleteFileLocked(qint64 id)
{
    const auto found = files.find(id);
    if (found == files.end())
        return;
    const FakeLibraryFile file = found->second;
    files.erase(id);
    recordChangeLocked(QStringLiteral("deleted"), file);
}

QString FakeServiceState::cursorLocked(qint64 accountId) const
{
    const auto found = changes.find(accountId);
    const qint64 last = found == changes.end() || found->second.empty() ? 0 : found->second.back().sequence;
    return QStringLiteral("cur-%1").arg(last);
}

} // namespace quillmere::test
