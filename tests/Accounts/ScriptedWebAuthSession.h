#pragma once

#include "Platform/Async/NextTurn.h"
#include "Platform/WebAuth/WebAuthSession.h"

#include <functional>
#include <vector>

namespace quillmere::test {

// A web-authentication session that answers from a script instead of a browser. The script
// sees the start URL, so it can echo the state the manager sent.
class ScriptedWebAuthSession : public WebAuthSession
{
public:
    using Script = std::function<QCoro::Task<WebAuthOutcome>(QUrl startURL, QString scheme)>;

    struct Call
    {
        QUrl startURL;
        QString scheme;
    };

    explicit ScriptedWebAuthSession(Script script) : m_script(std::move(script)) {}

    // Answers with this outcome on the next turn, whatever the start URL.
    static Script fixed(WebAuthOutcome outcome)
    {
        return [outcome](QUrl, QString) { return later(outcome); };
    }

    static QCoro::Task<WebAuthOutcome> later(WebAuthOutcome outcome)
    {
        co_await NextTurn{};
        co_return outcome;
    }

    QCoro::Task<WebAuthOutcome> authenticate(QUrl startURL, QString callbackScheme, std::stop_token) override
    {
        calls.push_back({startURL, callbackScheme});
        auto answering = m_script(startURL, callbackScheme);
        co_return co_await std::move(answering);
    }

    std::vector<Call> calls;

private:
    Script m_script;
};

} // namespace quillmere::test
