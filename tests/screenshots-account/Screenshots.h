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

// Named window states rendered offscreen into PNG files, to look at side by side with what
// the window should show. A file of states registers them with addStates() from a
// namespace-scope initialiser.
namespace quillmere::screenshots {

// What every state may use: a private settings folder, an in-memory vault, a clock that
// stands still and a fake service, started on first use.
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

// Shows the widget offscreen at the size, runs the step (if any) once it is laid out, lets it
// paint and returns what it shows.
QImage capture(QWidget &widget, QSize size, const std::function<void()> &step = {});

} // namespace quillmere::screenshots
