#pragma once

#include <memory>

namespace quillmere {

class LibraryAPIClient;

// Tells the service which sync folders have a guarding application open on this device and
// warns when the same is open elsewhere. For now it holds only the timer state the engine
// starts and stops; the reports themselves are sent by the reporter's own work to come.
// Main thread only.
class DAWLivenessReporter
{
public:
    // The client is the engine's one service client.
    explicit DAWLivenessReporter(std::shared_ptr<LibraryAPIClient> apiClient);

    // Starts the periodic report; a running timer is replaced.
    void start();
    // Ends the periodic report; nothing when it does not run.
    void stopTimer();
    bool isRunning() const { return m_timerRunning; }

private:
    std::shared_ptr<LibraryAPIClient> m_apiClient;
    bool m_timerRunning = false;
};

} // namespace quillmere
