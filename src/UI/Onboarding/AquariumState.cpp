#include "UI/Onboarding/AquariumState.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace quillmere {

namespace {

constexpr double pi = std::numbers::pi;

// Spawning
constexpr int spawnThresholdLow = 120;
constexpr int spawnThresholdHigh = 420;
constexpr double aimSpread = 0.3;
// Swimming
constexpr double phasePerSpeed = 0.04;
constexpr double phaseBase = 0.08;
constexpr double fullPullError = 80;
constexpr double maxPull = 0.4;
constexpr double orbitTurnRate = 0.04;
constexpr double tailWobble = 0.003;
constexpr double wanderStep = 0.02;
constexpr double wanderDamping = 0.94;
constexpr double wanderTurn = 0.02;
constexpr double separationRange = 40;
constexpr double separationTurnRate = 0.04;
// Exit
constexpr double dartFactor = 1.6;
constexpr double exitSpeedFactor = 4;
constexpr int dartSteps = 30;

bool usableSize(double width, double height)
{
    return width > 0 && height > 0 && std::isfinite(width) && std::isfinite(height);
}

} // namespace

AquariumState::AquariumState(RandomSource random, QObject *parent)
    : QObject(parent), m_random(random ? std::move(random) : seededRandom(QRandomGenerator::global()->generate64()))
{
}

AquariumState::RandomSource AquariumState::seededRandom(std::uint64_t seed)
{
    return [engine = std::mt19937_64(seed), distribution = std::uniform_real_distribution<double>(0.0, 1.0)]() mutable {
        return distribution(engine);
    };
}

double AquariumState::wrapAngle(double angle)
{
    return std::remainder(angle, 2 * pi);
}

double AquariumState::uniform(double low, double high)
{
    const double r = std::clamp(m_random(), 0.0, 1.0);
    return low + (high - low) * r;
}

int AquariumState::integer(int low, int high)
{
    const double r = std::clamp(m_random(), 0.0, 1.0);
    return std::min(high, low + static_cast<int>(std::floor(r * (high - low + 1))));
}

void AquariumState::setFishSpawnTimer(int value)
{
    if (value == m_fishSpawnTimer)
        return;
    m_fishSpawnTimer = value;
    Q_EMIT fishSpawnTimerChanged();
}

void AquariumState::setScattering(bool on)
{
    if (on == m_isScattering)
        return;
    m_isScattering = on;
    Q_EMIT isScatteringChanged();
}

void AquariumState::setAllGone(bool on)
{
    if (on == m_allGone)
        return;
    m_allGone = on;
    Q_EMIT allGoneChanged();
}

void AquariumState::setInitialized(bool on)
{
    if (on == m_hasInitialized)
        return;
    m_hasInitialized = on;
    Q_EMIT hasInitializedChanged();
}

void AquariumState::update(double width, double height)
{
    if (!usableSize(width, height))
        return;
    initialize(width, height);
    tick(width, height);
    if (m_isScattering && m_fish.empty())
        setAllGone(true);
}

void AquariumState::initialize(double width, double height)
{
    if (m_hasInitialized || !usableSize(width, height))
        return;
    setInitialized(true);
    for (int i = 0; i < initialFishCount; ++i)
        m_fish.push_back(spawnFish(width, height));
    Q_EMIT fishChanged();
}

void AquariumState::tick(double width, double height)
{
    if (!usableSize(width, height))
        return;
    if (!m_isScattering && m_fish.size() < static_cast<std::size_t>(fishMaxCount)) {
        setFishSpawnTimer(m_fishSpawnTimer + 1);
        if (m_fishSpawnTimer > integer(spawnThresholdLow, spawnThresholdHigh)) {
            m_fish.push_back(spawnFish(width, height));
            setFishSpawnTimer(0);
        }
    }
    if (m_fish.empty())
        return;

    // Newest first, so a removal never disturbs the fish still to be visited.
    for (std::size_t i = m_fish.size(); i-- > 0;) {
        Fish &fish = m_fish[i];
        // Only sines of the phase are drawn: wrapping keeps it precise however long it runs.
        fish.bodyPhase = wrapAngle(fish.bodyPhase + fish.speed * phasePerSpeed + phaseBase);
        if (!m_isScattering) {
            swim(i, width, height);
            continue;
        }
        const double factor = fish.dartTimer > 0 ? dartFactor : 1;
        fish.x += factor * std::cos(fish.heading) * fish.speed;
        fish.y += factor * std::sin(fish.heading) * fish.speed;
        if (fish.dartTimer >= 1)
            --fish.dartTimer;
        if (fish.x < -exitMargin || fish.x > width + exitMargin || fish.y < -exitMargin || fish.y > height + exitMargin)
            m_fish.erase(m_fish.begin() + static_cast<std::ptrdiff_t>(i));
    }
    Q_EMIT fishChanged();
}

void AquariumState::swim(std::size_t index, double width, double height)
{
    Fish &fish = m_fish[index];
    const double dx = fish.x - width / 2;
    const double dy = fish.y - height / 2;
    const double fromCentre = std::atan2(dy, dx);
    const double distance = std::hypot(dx, dy);

    // Orbit: along the tangent, pulled towards the preferred radius. The two directions are
    // blended on the circle; a plain weighted sum of the angles points the wrong way whenever
    // they lie on either side of +-pi, which sends fish of one sense of rotation away for good.
    const double tangent = fromCentre + fish.orbitDirection * pi / 2;
    const double error = distance - fish.orbitRadius;
    const double pull = maxPull * std::min(std::abs(error) / fullPullError, 1.0);
    const double radial = error > 0 ? fromCentre + pi : fromCentre;
    const double desired = tangent + wrapAngle(radial - tangent) * pull;
    fish.heading += wrapAngle(desired - fish.heading) * orbitTurnRate;

    fish.heading += std::cos(fish.bodyPhase) * tailWobble;

    fish.wanderAngle += uniform(-wanderStep, wanderStep);
    fish.wanderAngle *= wanderDamping;
    fish.heading += fish.wanderAngle * wanderTurn;

    // Turn away from close neighbours, reading their positions as they stand (newer fish have
    // moved already this step). Two fish on top of each other have no direction to flee.
    for (std::size_t j = 0; j < m_fish.size(); ++j) {
        if (j == index)
            continue;
        const double ddx = fish.x - m_fish[j].x;
        const double ddy = fish.y - m_fish[j].y;
        const double q = ddx * ddx + ddy * ddy;
        if (q > 1 && q < separationRange * separationRange) {
            const double away = wrapAngle(std::atan2(ddy, ddx) - fish.heading);
            fish.heading += away * separationTurnRate * (1 - std::sqrt(q) / separationRange);
        }
    }
    fish.heading = wrapAngle(fish.heading);

    fish.x += std::cos(fish.heading) * fish.speed;
    fish.y += std::sin(fish.heading) * fish.speed;
}

void AquariumState::scatter(double width, double height)
{
    if (m_isScattering)
        return;
    setScattering(true);
    for (Fish &fish : m_fish) {
        fish.heading = std::atan2(fish.y - height / 2, fish.x - width / 2);
        fish.speed *= exitSpeedFactor;
        fish.dartTimer = dartSteps;
    }
    if (!m_fish.empty())
        Q_EMIT fishChanged();
}

void AquariumState::reset()
{
    setInitialized(false);
    setScattering(false);
    setAllGone(false);
    const bool hadFish = !m_fish.empty();
    m_fish.clear();
    setFishSpawnTimer(0);
    if (hadFish)
        Q_EMIT fishChanged();
}

Fish AquariumState::spawnFish(double width, double height)
{
    Fish fish;
    switch (integer(0, 3)) {
    case 0:
        fish.x = uniform(0, width);
        fish.y = -entryDistance;
        break;
    case 1:
        fish.x = width + entryDistance;
        fish.y = uniform(0, height);
        break;
    case 2:
        fish.x = uniform(0, width);
        fish.y = height + entryDistance;
        break;
    default:
        fish.x = -entryDistance;
        fish.y = uniform(0, height);
        break;
    }
    fish.heading = wrapAngle(std::atan2(height / 2 - fish.y, width / 2 - fish.x) + uniform(-aimSpread, aimSpread));
    fish.speed = 1.6 + uniform(0, 0.8);
    fish.size = 18 + uniform(0, 12);
    fish.bodyPhase = wrapAngle(uniform(0, 2 * pi));
    fish.fishType = integer(0, 4);
    fish.orbitRadius = 120 + uniform(0, 140);
    fish.orbitDirection = uniform(0, 1) < 0.5 ? 1 : -1;
    return fish;
}

} // namespace quillmere
