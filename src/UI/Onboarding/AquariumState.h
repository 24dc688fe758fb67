#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <vector>

namespace quillmere {

// One fish of the welcome screen's aquarium. Lengths in points of the canvas (origin top
// left, y down), angles in radians from +x towards +y, speeds in points per step.
struct Fish
{
    double x = 0;
    double y = 0;
    double heading = 0;     // direction of travel, kept in [-pi, pi]
    double speed = 0;       // base speed
    double size = 0;        // body length scale
    double bodyPhase = 0;   // tail-beat phase, kept in [-pi, pi]
    double wanderAngle = 0; // slowly varying random turn
    int dartTimer = 0;      // steps of boosted exit speed left
    int fishType = 0;       // which of the five drawings
    double orbitRadius = 0; // preferred distance from the canvas centre
    double orbitDirection = 1; // +1 or -1: sense of the orbit

    bool operator==(const Fish &) const = default;
};

// The decorative fish behind the welcome screen: they orbit the canvas centre, wander a
// little, keep apart, and leave through the edges when scattered. Knows nothing of drawing;
// the canvas steps it once per frame. Main thread only. Uses QtCore alone, so its tests run
// without a window.
class AquariumState : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isScattering READ isScattering NOTIFY isScatteringChanged)
    Q_PROPERTY(bool allGone READ allGone NOTIFY allGoneChanged)
    Q_PROPERTY(bool hasInitialized READ hasInitialized NOTIFY hasInitializedChanged)
    Q_PROPERTY(int fishSpawnTimer READ fishSpawnTimer NOTIFY fishSpawnTimerChanged)

public:
    // Returns a uniformly distributed number in [0, 1); values outside are clamped.
    using RandomSource = std::function<double()>;

    static constexpr int fishMaxCount = 25;
    static constexpr int initialFishCount = 5;
    // How far outside an edge a fish enters, and how far outside it a scattered fish leaves.
    static constexpr double entryDistance = 30;
    static constexpr double exitMargin = 60;

    // Without a source the fish come from a generator seeded at random.
    explicit AquariumState(RandomSource random = {}, QObject *parent = nullptr);

    // A reproducible source (a Mersenne twister with this seed).
    static RandomSource seededRandom(std::uint64_t seed);
    // The angle brought into [-pi, pi] in constant time.
    static double wrapAngle(double angle);

    const std::vector<Fish> &fish() const { return m_fish; }
    int fishSpawnTimer() const { return m_fishSpawnTimer; }
    bool isScattering() const { return m_isScattering; }
    bool allGone() const { return m_allGone; }
    bool hasInitialized() const { return m_hasInitialized; }

    // One frame at the canvas's size; does nothing unless both are positive and finite.
    void update(double width, double height);
    // The first five fish, once until reset().
    void initialize(double width, double height);
    // Advances every fish one step and spawns new ones.
    void tick(double width, double height);
    // Sends every fish straight away from the centre of the given area, four times as fast.
    void scatter(double width, double height);
    // Back to the created state: no fish, not initialised, not scattering.
    void reset();
    // A new fish outside a random edge of the area, aimed at its centre; not added.
    Fish spawnFish(double width, double height);

Q_SIGNALS:
    void fishChanged();
    void fishSpawnTimerChanged();
    void isScatteringChanged();
    void allGoneChanged();
    void hasInitializedChanged();

private:
    double uniform(double low, double high);
    int integer(int low, int high);
    void setFishSpawnTimer(int value);
    void setScattering(bool on);
    void setAllGone(bool on);
    void setInitialized(bool on);
    void swim(std::size_t index, double width, double height);

    RandomSource m_random;
    std::vector<Fish> m_fish;
    int m_fishSpawnTimer = 0;
    bool m_isScattering = false;
    bool m_allGone = false;
    bool m_hasInitialized = false;
};

} // namespace quillmere
