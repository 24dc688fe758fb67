#include "UI/Onboarding/WelcomeBackground.h"

#include "Platform/Async/Clock.h"
#include "UI/Onboarding/WelcomePalette.h"

#include <QPainter>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>

namespace quillmere {

namespace welcome {

namespace {

// How finely the mesh is cut into triangles along each axis (both patches together).
constexpr int tessellation = 16;

// A vertex of the tessellated mesh: position in image pixels, colour as rgb in 0..1.
struct Vertex
{
    double x, y;
    std::array<double, 3> rgb;
};

// Cubic Hermite through three samples at 0, 0.5 and 1 with Catmull-Rom tangents (one-sided
// at the ends): smooth across the middle sample, unlike a piecewise-linear blend.
double through3(double v0, double v1, double v2, double u)
{
    const double s = std::clamp(u, 0.0, 1.0) * 2;
    const bool second = s > 1;
    const double t = second ? s - 1 : s;
    const double p0 = second ? v1 : v0;
    const double p1 = second ? v2 : v1;
    const double m0 = second ? (v2 - v0) / 2 : v1 - v0;
    const double m1 = second ? v2 - v1 : (v2 - v0) / 2;
    const double t2 = t * t;
    const double t3 = t2 * t;
    return (2 * t3 - 3 * t2 + 1) * p0 + (t3 - 2 * t2 + t) * m0 + (-2 * t3 + 3 * t2) * p1 + (t3 - t2) * m1;
}

// The tensor-product surface over the 3 x 3 grid for one scalar per control point.
double surface(const std::array<double, 9> &values, double u, double v)
{
    const double top = through3(values[0], values[1], values[2], u);
    const double middle = through3(values[3], values[4], values[5], u);
    const double bottom = through3(values[6], values[7], values[8], u);
    return through3(top, middle, bottom, v);
}

double cross(double ax, double ay, double bx, double by)
{
    return ax * by - ay * bx;
}

void fillTriangle(QImage &image, const Vertex &p0, const Vertex &p1, const Vertex &p2)
{
    const double area = cross(p1.x - p0.x, p1.y - p0.y, p2.x - p0.x, p2.y - p0.y);
    if (std::abs(area) < 1e-12)
        return;
    // Shared edges are drawn by both triangles; the colour is continuous, so no seam shows.
    const double slack = -1e-6;
    const int left = std::max(0, static_cast<int>(std::floor(std::min({p0.x, p1.x, p2.x}))));
    const int right = std::min(image.width() - 1, static_cast<int>(std::ceil(std::max({p0.x, p1.x, p2.x}))));
    const int top = std::max(0, static_cast<int>(std::floor(std::min({p0.y, p1.y, p2.y}))));
    const int bottom = std::min(image.height() - 1, static_cast<int>(std::ceil(std::max({p0.y, p1.y, p2.y}))));
    for (int y = top; y <= bottom; ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        const double py = y + 0.5;
        for (int x = left; x <= right; ++x) {
            const double px = x + 0.5;
            const double w0 = cross(p1.x - px, p1.y - py, p2.x - px, p2.y - py) / area;
            const double w1 = cross(p2.x - px, p2.y - py, p0.x - px, p0.y - py) / area;
            const double w2 = 1 - w0 - w1;
            if (w0 < slack || w1 < slack || w2 < slack)
                continue;
            int channel[3];
            for (std::size_t i = 0; i < 3; ++i) {
                const double value = w0 * p0.rgb[i] + w1 * p1.rgb[i] + w2 * p2.rgb[i];
                channel[i] = static_cast<int>(std::lround(std::clamp(value, 0.0, 1.0) * 255));
            }
            row[x] = qRgb(channel[0], channel[1], channel[2]);
        }
    }
}

} // namespace

MeshGradient meshAt(double seconds)
{
    // The moving points are formed in single precision from double-precision sines.
    const float centreX = 0.5f + 0.12f * static_cast<float>(std::sin(0.6 * seconds));
    const float centreY = 0.5f + 0.13f * static_cast<float>(std::cos(0.8 * seconds));
    const float bottomX = 0.5f + 0.2f * static_cast<float>(std::cos(0.5 * seconds));

    const QColor outer = baseColour();
    const QColor white(Qt::white);
    MeshGradient mesh;
    mesh.points = {QPointF(0, 0),   QPointF(0.5, 0),           QPointF(1, 0),
                   QPointF(0, 0.5), QPointF(centreX, centreY), QPointF(1, 0.5),
                   QPointF(0, 1),   QPointF(bottomX, 1),       QPointF(1, 1)};
    mesh.colours = {outer, mixPerceptual(indigo(), white, 0.9), outer,
                    outer, white,                               outer,
                    outer, mixPerceptual(indigo(), white, 0.7), outer};
    return mesh;
}

QImage renderMesh(const MeshGradient &mesh, QSize size)
{
    QImage image(size.expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    image.fill(mesh.colours[0]);
    std::array<double, 9> xs, ys, rs, gs, bs;
    for (std::size_t i = 0; i < 9; ++i) {
        xs[i] = mesh.points[i].x();
        ys[i] = mesh.points[i].y();
        rs[i] = mesh.colours[i].redF();
        gs[i] = mesh.colours[i].greenF();
        bs[i] = mesh.colours[i].blueF();
    }
    constexpr int n = tessellation + 1;
    std::array<Vertex, n * n> vertices;
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i) {
            const double u = double(i) / tessellation;
            const double v = double(j) / tessellation;
            vertices[j * n + i] = Vertex{surface(xs, u, v) * image.width(), surface(ys, u, v) * image.height(),
                                         {surface(rs, u, v), surface(gs, u, v), surface(bs, u, v)}};
        }
    }
    for (int j = 0; j < tessellation; ++j) {
        for (int i = 0; i < tessellation; ++i) {
            const Vertex &a = vertices[j * n + i];
            const Vertex &b = vertices[j * n + i + 1];
            const Vertex &c = vertices[(j + 1) * n + i];
            const Vertex &d = vertices[(j + 1) * n + i + 1];
            fillTriangle(image, a, b, d);
            fillTriangle(image, a, d, c);
        }
    }
    return image;
}

void paintBackground(QPainter &painter, const QRectF &rect, double seconds)
{
    const QSize meshSize(std::max(2, static_cast<int>(std::ceil(rect.width() / WelcomeBackground::meshScale))),
                         std::max(2, static_cast<int>(std::ceil(rect.height() / WelcomeBackground::meshScale))));
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(rect, renderMesh(meshAt(seconds), meshSize));

    // A white glow, faint within 150 points of the centre and stronger towards 500 points.
    constexpr double inner = 150;
    constexpr double outerRadius = 500;
    QRadialGradient glow(rect.center(), outerRadius);
    glow.setColorAt(0, QColor(255, 255, 255, 51));
    glow.setColorAt(inner / outerRadius, QColor(255, 255, 255, 51));
    glow.setColorAt(1, QColor(255, 255, 255, 128));
    painter.fillRect(rect, glow);
    painter.restore();
}

} // namespace welcome

WelcomeBackground::WelcomeBackground(Clock &clock, QWidget *parent) : QWidget(parent), m_clock(clock)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void WelcomeBackground::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const double seconds = m_clock.currentDateTime().toMSecsSinceEpoch() / 1000.0;
    welcome::paintBackground(painter, rect(), seconds);
}

} // namespace quillmere
