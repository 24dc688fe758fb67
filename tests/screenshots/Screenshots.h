#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QWidget;

namespace quillmere {
class KeychainVault;
class ManualClock;
namespace test {
class FakeHarborly;
}
} // namespace quillmere

// The screenshot program renders named window states offscreen into PNG files, so a person
// can look at them side by side. Each window has one file of states in this folder that
// registers them with addStates() from a namespace-scope initialiser.
namespace quillmere::screenshots {

// What every state may use: a private settings folder, an in-memory vault, a clock that
// stands still (backgrounds that follow the time come out the same on every run) and a fake
// service, started on first use.
class Environment
{
public:
    Environment();
    ~Environment();

    KeychainVault &vault();
    ManualClock &clock();
    test::FakeHarborly &service();

private:
    struct Parts;
    std::unique_ptr<Parts> m_parts;
};

struct State
{
    QString name;        // the file name without ".png"; letters, digits and '-'
    QString description; // one line for --list
    std::function<QImage(Environment &)> render;
};

// Returns true so that it can initialise a namespace-scope constant.
bool addStates(std::vector<State> states);
const std::vector<State> &allStates();

// Shows the widget offscreen at the size, runs the step (if any) once it is laid out,
// lets it paint and returns what it shows.
QImage capture(QWidget &widget, QSize size, const std::function<void()> &step = {});

} // namespace quillmere::screenshots
