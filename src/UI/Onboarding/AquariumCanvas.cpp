#include "UI/Onboarding/AquariumCanvas.h"

#include "UI/Onboarding/WelcomePalette.h"

#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>

#include <cmath>
#include <numbers>

namespace quillmere {

namespace {

constexpr double outlineWidth = 0.6;

QColor withAlpha(QColor colour, double alpha)
{
    colour.setAlphaF(static_cast<float>(alpha));
    return colour;
}

struct Shades
{
    QColor bodyFill, bodyOutline, finFill, finOutline, tailFill, tailOutline, stripe, eye;

    Shades()
    {
        const QColor base = welcome::baseColour();
        bodyFill = withAlpha(base, 0.2);
        bodyOutline = withAlpha(base, 0.58);
        finFill = withAlpha(base, 0.5);
        finOutline = bodyOutline;
        tailFill = withAlpha(base, 0.1);
        tailOutline = bodyOutline;
        stripe = withAlpha(Qt::white, 0.06);
        eye = withAlpha(Qt::white, 0.25);
    }
};

const Shades &shades()
{
    static const Shades made;
    return made;
}

void fillAndOutline(QPainter &painter, const QPainterPath &path, const QColor &fill, const QColor &outline)
{
    painter.fillPath(path, fill);
    painter.strokePath(path, QPen(outline, outlineWidth));
}

void outlineOnly(QPainter &painter, const QPainterPath &path, const QColor &outline)
{
    painter.strokePath(path, QPen(outline, outlineWidth));
}

// The five drawings. s is the size; a, b and c the tail-beat bends from front to tail.
void drawOval(QPainter &p, double s, double a, double b, double c)
{
    const Shades &k = shades();
    QPainterPath body({s, 0});
    body.quadTo({0.3 * s, a - 0.28 * s}, {-0.5 * s, b});
    body.quadTo({0.3 * s, a + 0.28 * s}, {s, 0});
    body.closeSubpath();
    fillAndOutline(p, body, k.bodyFill, k.bodyOutline);

    QPainterPath tail({-0.3 * s, b});
    tail.lineTo(-1.1 * s, c - 0.08 * s);
    tail.lineTo(-1.1 * s, c + 0.08 * s);
    tail.closeSubpath();
    fillAndOutline(p, tail, k.tailFill, k.tailOutline);

    for (const double side : {-1.0, 1.0}) {
        QPainterPath fin({0.7 * s, 0.3 * a + side * 0.12 * s});
        fin.quadTo({0.05 * s, 0.95 * a + side * 0.38 * s}, {0.15 * s, 0.85 * a + side * 0.14 * s});
        fin.lineTo(0.4 * s, 0.6 * a + side * 0.23 * s);
        fin.closeSubpath();
        fillAndOutline(p, fin, k.finFill, k.finOutline);
    }
}

void drawSlender(QPainter &p, double s, double a, double b, double c)
{
    const Shades &k = shades();
    QPainterPath body({1.1 * s, 0});
    body.quadTo({0.4 * s, a - 0.15 * s}, {-0.4 * s, b});
    body.quadTo({0.4 * s, a + 0.15 * s}, {1.1 * s, 0});
    body.closeSubpath();
    fillAndOutline(p, body, k.bodyFill, k.bodyOutline);

    QPainterPath tail({-0.3 * s, b});
    tail.lineTo(-1.2 * s, c - 0.18 * s);
    tail.lineTo(-0.85 * s, 0.6 * b + 0.3 * c);
    tail.lineTo(-1.2 * s, c + 0.18 * s);
    tail.closeSubpath();
    fillAndOutline(p, tail, k.tailFill, k.tailOutline);

    QPainterPath stripe({0.9 * s, 0.1 * a});
    stripe.lineTo(-0.2 * s, 0.5 * b);
    outlineOnly(p, stripe, k.stripe);
}

void drawDeep(QPainter &p, double s, double a, double b, double c)
{
    const Shades &k = shades();
    QPainterPath body({0.8 * s, 0});
    body.quadTo({0.2 * s, a - 0.38 * s}, {-0.3 * s, b});
    body.quadTo({0.2 * s, a + 0.38 * s}, {0.8 * s, 0});
    body.closeSubpath();
    fillAndOutline(p, body, k.bodyFill, k.bodyOutline);

    QPainterPath tail({-0.15 * s, b - 0.08 * s});
    tail.quadTo({-0.9 * s, c - 0.22 * s}, {-0.95 * s, c});
    tail.quadTo({-0.9 * s, c + 0.22 * s}, {-0.15 * s, b + 0.08 * s});
    tail.closeSubpath();
    fillAndOutline(p, tail, k.tailFill, k.tailOutline);

    for (const double side : {-1.0, 1.0}) {
        QPainterPath fin({0.35 * s, 0.5 * a + side * 0.2 * s});
        fin.lineTo(0.05 * s, 0.5 * a + side * 0.42 * s);
        fin.lineTo(0.15 * s, 0.5 * a + side * 0.18 * s);
        fin.closeSubpath();
        fillAndOutline(p, fin, k.finFill, k.finOutline);
    }
}

void drawDiamond(QPainter &p, double s, double a, double b, double c)
{
    const Shades &k = shades();
    QPainterPath body({0.9 * s, 0});
    body.lineTo(0.15 * s, a - 0.32 * s);
    body.lineTo(-0.4 * s, b);
    body.lineTo(0.15 * s, a + 0.32 * s);
    body.closeSubpath();
    fillAndOutline(p, body, k.bodyFill, k.bodyOutline);

    for (const double side : {-1.0, 1.0}) {
        QPainterPath streamer({-0.3 * s, b + side * 0.05 * s});
        streamer.quadTo({-0.8 * s, c + side * 0.1 * s}, {-1.3 * s, c + side * 0.02 * s});
        outlineOnly(p, streamer, k.tailOutline);
    }

    QPainterPath fin({0.5 * s, 0.4 * a - 0.2 * s});
    fin.quadTo({0.15 * s, 0.8 * a - 0.6 * s}, {-0.1 * s, 0.9 * a - 0.18 * s});
    fin.lineTo(0.2 * s, 0.6 * a - 0.15 * s);
    fin.closeSubpath();
    fillAndOutline(p, fin, k.finFill, k.finOutline);
}

void drawRibbon(QPainter &p, double s, double phase)
{
    const Shades &k = shades();
    // A wave travelling tailwards along the midline, growing towards the tail.
    const auto midline = [&](double t) { return (0.3 + 0.7 * t) * 0.1 * s * std::sin(phase - 2.5 * t); };
    const auto halfThickness = [&](double t) { return 0.08 * s * (1 - 0.6 * t); };

    QPainterPath body({0.7 * s, -0.08 * s});
    for (int i = 0; i <= 6; ++i) {
        const double t = i / 6.0;
        body.lineTo(0.7 * s - 0.945 * s * t, midline(t) - halfThickness(t));
    }
    for (int i = 6; i >= 0; --i) {
        const double t = i / 6.0;
        body.lineTo(0.7 * s - 0.945 * s * t, midline(t) + halfThickness(t));
    }
    body.closeSubpath();
    fillAndOutline(p, body, k.bodyFill, k.bodyOutline);

    QPainterPath crest({0.5 * s, -0.08 * s});
    for (int i = 0; i <= 4; ++i) {
        const double u = i / 4.0;
        crest.lineTo(0.5 * s - 1.2 * s * u, midline(u) - 0.12 * s - 1.5 * std::abs(0.04 * s * std::sin(phase - 3 * u)));
    }
    outlineOnly(p, crest, k.finOutline);
}

} // namespace

AquariumCanvas::AquariumCanvas(AquariumState &aquarium, QWidget *parent) : QWidget(parent), m_aquarium(&aquarium)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);
    setFocusPolicy(Qt::NoFocus);
}

void AquariumCanvas::advance()
{
    if (m_aquarium)
        m_aquarium->update(m_canvasSize.width(), m_canvasSize.height());
    ++m_frameToken; // unsigned: wraps to 0 after the largest value
    QWidget::update();
}

void AquariumCanvas::resizeEvent(QResizeEvent *event)
{
    // Fish already in the tank stay where they are; only the orbit centre, the spawn edges
    // and the exit margins follow the new size from the next step on.
    if (!event->size().isEmpty())
        m_canvasSize = event->size();
    QWidget::resizeEvent(event);
}

void AquariumCanvas::paintEvent(QPaintEvent *)
{
    if (!m_aquarium)
        return;
    QPainter painter(this);
    drawAquarium(painter, *m_aquarium);
}

void AquariumCanvas::drawAquarium(QPainter &painter, const AquariumState &aquarium)
{
    painter.setRenderHint(QPainter::Antialiasing);
    for (const Fish &fish : aquarium.fish())
        drawFish(painter, fish);
}

void AquariumCanvas::drawFish(QPainter &painter, const Fish &fish)
{
    const double s = fish.size;
    const double phase = fish.bodyPhase;
    // The phase lag from front to tail makes the bend travel backwards along the body.
    const double a = s * std::sin(phase) * 0.08;
    const double b = s * std::sin(phase - 0.8) * 0.14;
    const double c = s * std::sin(phase - 1.6) * 0.18;

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(fish.x, fish.y);
    painter.rotate(fish.heading * 180 / std::numbers::pi);
    switch (fish.fishType) {
    case 1:
        drawSlender(painter, s, a, b, c);
        break;
    case 2:
        drawDeep(painter, s, a, b, c);
        break;
    case 3:
        drawDiamond(painter, s, a, b, c);
        break;
    case 4:
        drawRibbon(painter, s, phase);
        break;
    default:
        drawOval(painter, s, a, b, c);
        break;
    }
    QPainterPath eye;
    eye.addEllipse(QRectF(0.63 * s, 0.15 * a - 0.07 * s, 0.06 * s, 0.06 * s));
    painter.fillPath(eye, shades().eye);
    painter.restore();
}

} // namespace quillmere
