#include "Engine/DAWLivenessReporter.h"

#include "ServiceAPI/LibraryAPIClient.h"

namespace quillmere {

DAWLivenessReporter::DAWLivenessReporter(std::shared_ptr<LibraryAPIClient> apiClient)
    : m_apiClient(std::move(apiClient))
{
}

void DAWLivenessReporter::start()
{
    m_timerRunning = true;
}

void DAWLivenessReporter::stopTimer()
{
    m_timerRunning = false;
}

} // namespace quillmere
