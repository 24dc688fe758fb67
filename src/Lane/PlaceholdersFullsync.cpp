// Stand-ins for members other parts of the lane provide; removed when those arrive.
#include "Lane/SyncLane.h"

#include "Platform/Http/TransportError.h"
#include "ServiceAPI/HarborlyAPIError.h"

namespace quillmere {

QCoro::Task<> SyncLane::runQueueTaskGroup(std::stop_token)
{
    co_return;
}

QCoro::Task<> SyncLane::runBatchPrePass(std::stop_token)
{
    co_return;
}

bool SyncLane::isNetworkError(const std::exception_ptr &error)
{
    auto transportCode = [](const std::exception_ptr &candidate) -> std::optional<TransportError::Code> {
        try {
            std::rethrow_exception(candidate);
        } catch (const TransportError &transport) {
            return transport.code();
        } catch (...) {
            return std::nullopt;
        }
    };
    std::exception_ptr inner = error;
    try {
        std::rethrow_exception(error);
    } catch (const HarborlyAPIError &apiError) {
        if (apiError.code() != HarborlyAPIError::Code::networkError || !apiError.underlying())
            return false;
        inner = apiError.underlying();
    } catch (...) {
    }
    using Code = TransportError::Code;
    const auto code = transportCode(inner);
    return code
           && (*code == Code::notConnected || *code == Code::connectionLost || *code == Code::timedOut
               || *code == Code::cannotFindHost || *code == Code::cannotConnect);
}

bool SyncLane::isRateLimited(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const HarborlyAPIError &apiError) {
        return apiError.code() == HarborlyAPIError::Code::serverError && apiError.statusCode() == 429;
    } catch (...) {
        return false;
    }
}

} // namespace quillmere
