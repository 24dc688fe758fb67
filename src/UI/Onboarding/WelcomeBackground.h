#pragma once

#include <QColor>
#include <QImage>
#include <QPointF>
#include <QWidget>

#include <array>

class QPainter;

namespace quillmere {

class Clock;

// The slowly drifting colour field behind the welcome screen: a 3 x 3 mesh gradient whose
// centre point and bottom-middle point wander with wall-clock time, under a soft white
// radial glow. A pure function of the time: frames for the same instant are identical.
namespace welcome {

struct MeshGradient
{
    // Row by row from the top, left to right, in unit coordinates (y down).
    std::array<QPointF, 9> points;
    std::array<QColor, 9> colours;
};

// The mesh at t seconds since 1970-01-01 UTC.
MeshGradient meshAt(double seconds);
// The mesh rasterised (smooth colours, device-space interpolation) into an opaque image of
// the given size; drawn small and scaled up, since the field has no detail.
QImage renderMesh(const MeshGradient &mesh, QSize size);
// The whole background (mesh and glow) into the rectangle.
void paintBackground(QPainter &painter, const QRectF &rect, double seconds);

} // namespace welcome

// Paints the background at the clock's current wall time. It never repaints by itself:
// the welcome view's frame timer asks it to.
class WelcomeBackground : public QWidget
{
    Q_OBJECT

public:
    // The mesh image is this many times smaller than the widget.
    static constexpr int meshScale = 6;

    explicit WelcomeBackground(Clock &clock, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Clock &m_clock;
};

} // namespace quillmere
