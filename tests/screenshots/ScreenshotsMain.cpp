// Renders window states offscreen into PNG files.
//   quillmere_screenshots [--list] [--out FOLDER] [STATE...]
// Without states it renders all of them; FOLDER defaults to "screenshots".

#include "screenshots/Screenshots.h"

#include "Accounts/KeychainHelper.h"
#include "Accounts/KeychainVault.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "fake-service/FakeHarborly.h"
#include "support/TemporaryConfigHome.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <map>

namespace quillmere::screenshots {

namespace {

std::vector<State> &registry()
{
    static std::vector<State> states;
    return states;
}

} // namespace

struct Environment::Parts
{
    test::TemporaryConfigHome configHome;
    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    ManualClock clock;
    std::unique_ptr<test::FakeHarborly> service;
};

Environment::Environment() : m_parts(std::make_unique<Parts>()) {}
Environment::~Environment() = default;

KeychainVault &Environment::vault()
{
    return m_parts->vault;
}

ManualClock &Environment::clock()
{
    return m_parts->clock;
}

test::FakeHarborly &Environment::service()
{
    if (!m_parts->service) {
        m_parts->service = std::make_unique<test::FakeHarborly>();
        m_parts->service->start();
    }
    return *m_parts->service;
}

bool addStates(std::vector<State> states)
{
    for (State &state : states)
        registry().push_back(std::move(state));
    return true;
}

const std::vector<State> &allStates()
{
    return registry();
}

QImage capture(QWidget &widget, QSize size, const std::function<void()> &step)
{
    widget.resize(size);
    widget.show();
    test::runFor(std::chrono::milliseconds(50));
    if (step) {
        step();
        test::runFor(std::chrono::milliseconds(20));
    }
    QImage image = widget.grab().toImage();
    widget.hide();
    test::drainEvents();
    return image;
}

} // namespace quillmere::screenshots

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    using namespace quillmere::screenshots;

    QStringList arguments = app.arguments().mid(1);
    QString folder = QStringLiteral("screenshots");
    bool list = false;
    QStringList wanted;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--list"))
            list = true;
        else if (arguments[i] == QLatin1String("--out") && i + 1 < arguments.size())
            folder = arguments[++i];
        else
            wanted << arguments[i];
    }

    std::vector<State> states = allStates();
    std::sort(states.begin(), states.end(), [](const State &a, const State &b) { return a.name < b.name; });
    if (list) {
        for (const State &state : states)
            std::printf("%-32s %s\n", qPrintable(state.name), qPrintable(state.description));
        return 0;
    }
    for (const QString &name : wanted) {
        if (std::none_of(states.begin(), states.end(), [&](const State &s) { return s.name == name; })) {
            std::fprintf(stderr, "unknown state: %s (see --list)\n", qPrintable(name));
            return 2;
        }
    }
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "cannot make %s\n", qPrintable(folder));
        return 1;
    }

    int failures = 0;
    for (const State &state : states) {
        if (!wanted.isEmpty() && !wanted.contains(state.name))
            continue;
        // A state of its own: a sign-in shown by one must not carry over into the next.
        Environment environment;
        const QImage image = state.render(environment);
        const QString path = QDir(folder).absoluteFilePath(state.name + QStringLiteral(".png"));
        if (image.isNull() || !image.save(path)) {
            std::fprintf(stderr, "could not render %s\n", qPrintable(state.name));
            ++failures;
            continue;
        }
        std::printf("%s\n", qPrintable(path));
    }
    return failures ? 1 : 0;
}
