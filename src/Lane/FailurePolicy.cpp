#include "Lane/FailurePolicy.h"

#include "Lane/LaneSupport.h"

#include "Platform/Async/CancelledError.h"
#include "Platform/Files/FileReadError.h"
#include "Platform/Http/LocalFileError.h"
#include "Platform/Http/TransportError.h"
#include "ServiceAPI/HarborlyAPIError.h"

#include <cerrno>

namespace quillmere {

namespace {

bool isNetworkCode(TransportError::Code code)
{
    switch (code) {
    case TransportError::Code::notConnected:
    case TransportError::Code::connectionLost:
    case TransportError::Code::timedOut:
    case TransportError::Code::cannotFindHost:
    case TransportError::Code::cannotConnect:
        return true;
    default:
        return false;
    }
}

void readTransport(const TransportError &error, FailureFacts &facts)
{
    facts.network = isNetworkCode(error.code());
    facts.secureConnection = error.isSecureConnectionFailure();
}

} // namespace

FailureFacts FailureFacts::of(const std::exception_ptr &error)
{
    FailureFacts facts;
    if (!error)
        return facts;
    try {
        std::rethrow_exception(error);
    } catch (const CancelledError &) {
        facts.cancelled = true;
    } catch (const lane::LocalRefusal &refusal) {
        facts.refusal = QString::fromStdString(refusal.what());
    } catch (const LocalFileError &local) {
        facts.localErrorNumber = local.errorNumber();
    } catch (const FileReadError &read) {
        facts.sourceReadErrorNumber = read.errorNumber();
    } catch (const TransportError &transport) {
        facts.cancelled = transport.isCancellation();
        readTransport(transport, facts);
    } catch (const HarborlyAPIError &apiError) {
        facts.cancelled = apiError.isCancellation();
        if (apiError.code() == HarborlyAPIError::Code::serverError) {
            facts.serviceStatus = apiError.statusCode();
            facts.rateLimited = apiError.statusCode() == 429 || apiError.message().contains(QLatin1String("429"));
        }
        if (apiError.underlying()) {
            try {
                std::rethrow_exception(apiError.underlying());
            } catch (const TransportError &transport) {
                readTransport(transport, facts);
                // Only the client's own network failure speaks for the network.
                facts.network = facts.network && apiError.code() == HarborlyAPIError::Code::networkError;
            } catch (const LocalFileError &local) {
                facts.localErrorNumber = local.errorNumber();
            } catch (const FileReadError &read) {
                facts.sourceReadErrorNumber = read.errorNumber();
            } catch (...) {
                // Any other cause adds nothing to what the client's error says itself.
            }
        }
    } catch (...) {
        // Any other failure says nothing more of itself: it is retried as a transient one.
    }
    return facts;
}

bool isTransientLocalError(int errorNumber)
{
    switch (errorNumber) {
    // The same names and the same disk give the same answer however often they are tried: the
    // user has to move something, grant access or pick another place.
    case EEXIST:
    case EISDIR:
    case ENOTDIR:
    case EACCES:
    case EPERM:
    case EROFS:
    case ENAMETOOLONG:
    case EINVAL:
    case EILSEQ:
        return false;
    // A full disk is often freed within minutes (a cache emptied, a bounce deleted); I/O and
    // resource errors may pass as well.
    default:
        return true;
    }
}

FailureVerdict classifyFailure(const std::exception_ptr &error, SyncFileDesiredState state, bool changedMeanwhile)
{
    using Kind = FailureVerdict::Kind;
    const FailureFacts facts = FailureFacts::of(error);
    FailureVerdict verdict;
    verdict.status = facts.serviceStatus;
    verdict.localErrorNumber = facts.localErrorNumber;
    verdict.refusal = facts.refusal;
    verdict.secureConnection = facts.secureConnection;
    const std::optional<int> status = facts.serviceStatus;

    if (facts.cancelled) {
        verdict.kind = Kind::cancelled;
        return verdict;
    }
    // Only an upload asks the service for room: a 507 on a delete or a download is a failure
    // of that request, retried as any other server error, and shown as what it is then: the
    // service failed, not "storage limit reached".
    if (status == 507) {
        if (state == SyncFileDesiredState::uploadPending) {
            verdict.kind = Kind::storageFull;
            return verdict;
        }
        verdict.status = 500;
    }
    if (facts.rateLimited) {
        verdict.kind = Kind::rateLimited;
        return verdict;
    }
    // A failure of a version that no longer exists is not this file's failure.
    if (changedMeanwhile) {
        verdict.kind = Kind::changedMeanwhile;
        return verdict;
    }
    if (facts.refusal) {
        verdict.kind = Kind::refused;
        return verdict;
    }
    // A failure of our own disk is neither the network's nor the service's: only what may
    // pass by itself is retried.
    if (facts.localErrorNumber) {
        verdict.kind = isTransientLocalError(*facts.localErrorNumber) ? Kind::localTransient : Kind::localPermanent;
        return verdict;
    }
    bool permanent = status && ((*status >= 400 && *status <= 499 && *status != 413 && *status != 429) || *status == 501);
    // A download is not renewed by the client on 401 or 421 (it goes around the authorised
    // transport); the next authorised call renews the token or finds the shard, so the file
    // is tried again rather than refused for good.
    const bool isDownload = state == SyncFileDesiredState::downloadPending || state == SyncFileDesiredState::downloadHeld;
    if (isDownload && (status == 401 || status == 421))
        permanent = false;
    verdict.kind = permanent ? Kind::permanent : Kind::transient;
    return verdict;
}

} // namespace quillmere
