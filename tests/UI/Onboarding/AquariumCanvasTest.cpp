#include "UI/Onboarding/AquariumCanvas.h"
#include "UI/Onboarding/AquariumState.h"
#include "UI/Onboarding/WelcomeBackground.h"
#include "UI/Onboarding/WelcomePalette.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <cmath>
#include <numbers>

using namespace quillmere;

namespace {

QImage transparentImage(QSize size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

QImage drawn(const Fish &fish)
{
    QImage image = transparentImage(QSize(200, 200));
    QPainter painter(&image);
    AquariumCanvas::drawFish(painter, fish);
    return image;
}

Fish fishAt(double x, double y, double heading, int type = 0)
{
    Fish fish;
    fish.x = x;
    fish.y = y;
    fish.heading = heading;
    fish.size = 30;
    fish.bodyPhase = 0;
    fish.fishType = type;
    return fish;
}

// Within `tolerance` on each of red, green and blue.
::testing::AssertionResult near(QColor actual, QColor expected, int tolerance)
{
    if (std::abs(actual.red() - expected.red()) <= tolerance && std::abs(actual.green() - expected.green()) <= tolerance &&
        std::abs(actual.blue() - expected.blue()) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << actual.name().toStdString() << " is not within " << tolerance << " of "
                                         << expected.name().toStdString();
}

QColor over(QColor below, QColor above)
{
    const double a = above.alphaF();
    return QColor::fromRgbF(float(above.redF() * a + below.redF() * (1 - a)),
                            float(above.greenF() * a + below.greenF() * (1 - a)),
                            float(above.blueF() * a + below.blueF() * (1 - a)));
}

} // namespace

// Tolerant checks of one drawn fish: the body's translucent base colour where the body is,
// nothing ahead of the nose or beside it, the brighter eye, and the turn to its heading.
TEST(AquariumCanvas, DrawsAFishInItsOwnFrameInThePaletteColours)
{
    const QImage image = drawn(fishAt(100, 100, 0));
    const QColor body = image.pixelColor(106, 100);
    EXPECT_NEAR(body.alphaF(), 0.2, 0.06);
    const QColor base = welcome::baseColour();
    EXPECT_TRUE(near(QColor(body.red(), body.green(), body.blue()), base, 24)); // pixelColor un-premultiplies
    EXPECT_EQ(image.pixelColor(140, 100).alpha(), 0) << "nothing ahead of the nose";
    EXPECT_EQ(image.pixelColor(106, 120).alpha(), 0) << "nothing beside the body";
    EXPECT_EQ(image.pixelColor(10, 10).alpha(), 0);
    const QColor tail = image.pixelColor(100 - 27, 95); // the tail bends to one side at phase 0
    EXPECT_GT(tail.alpha(), 0);
    EXPECT_LT(tail.alpha(), body.alpha()) << "the tail is fainter than the body";
    const QColor eye = image.pixelColor(119, 99);
    EXPECT_GT(eye.lightness(), body.lightness()) << "the eye is white over the body";

    // Turned a quarter clockwise (y down): the body now lies below its position.
    const QImage turned = drawn(fishAt(100, 100, std::numbers::pi / 2));
    EXPECT_GT(turned.pixelColor(100, 106).alpha(), 0);
    EXPECT_EQ(turned.pixelColor(106, 100).alpha(), 0);
    EXPECT_EQ(turned.pixelColor(100, 140).alpha(), 0);

    // An unknown type is the first drawing; the others differ from it and from each other.
    EXPECT_EQ(drawn(fishAt(100, 100, 0, 9)), image);
    std::vector<QImage> drawings{image};
    for (int type = 1; type <= 4; ++type) {
        const QImage other = drawn(fishAt(100, 100, 0, type));
        for (const QImage &earlier : drawings)
            EXPECT_NE(other, earlier) << "type " << type;
        drawings.push_back(other);
    }
}

TEST(AquariumCanvas, AdvanceStepsTheAquariumAtTheCanvasSizeAndPaintsItsFish)
{
    AquariumState aquarium(AquariumState::seededRandom(5));
    AquariumCanvas canvas(aquarium);
    EXPECT_EQ(canvas.canvasSize(), QSizeF(780, 520)) << "before any layout";
    canvas.resize(400, 300);
    canvas.show();
    ASSERT_EQ(canvas.canvasSize(), QSizeF(400, 300));

    QImage empty = transparentImage(QSize(400, 300));
    canvas.render(&empty, QPoint(), QRegion(), QWidget::DrawChildren);
    EXPECT_EQ(empty, transparentImage(QSize(400, 300))) << "an empty tank leaves the canvas transparent";

    const quint64 token = canvas.frameToken();
    for (int i = 0; i < 300; ++i)
        canvas.advance();
    EXPECT_EQ(canvas.frameToken(), token + 300);
    ASSERT_GE(aquarium.fish().size(), 5u);
    for (const Fish &fish : aquarium.fish()) {
        // Orbiting the centre of 400 x 300, not of the initial 780 x 520.
        EXPECT_LE(std::hypot(fish.x - 200, fish.y - 150), std::hypot(230, 180));
    }

    QImage frame = transparentImage(QSize(400, 300));
    canvas.render(&frame, QPoint(), QRegion(), QWidget::DrawChildren);
    int inView = 0;
    int drawnFish = 0;
    for (const Fish &fish : aquarium.fish()) {
        // Around a point on the body, a little ahead of the fish's position.
        const QPoint onBody(int(fish.x + std::cos(fish.heading) * fish.size * 0.2),
                            int(fish.y + std::sin(fish.heading) * fish.size * 0.2));
        if (!frame.rect().adjusted(1, 1, -1, -1).contains(onBody))
            continue;
        ++inView;
        int alpha = 0;
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy)
                alpha = std::max(alpha, frame.pixelColor(onBody + QPoint(dx, dy)).alpha());
        if (alpha > 0)
            ++drawnFish;
    }
    EXPECT_GT(inView, 2);
    EXPECT_EQ(drawnFish, inView) << "every fish in view is painted where it is";
}

TEST(WelcomeBackground, IsAPureFunctionOfTimeWithTheMeshColoursWhereTheirPointsLie)
{
    const welcome::MeshGradient start = welcome::meshAt(0);
    EXPECT_NEAR(start.points[4].x(), 0.5, 1e-6);
    EXPECT_NEAR(start.points[4].y(), 0.63, 1e-6);
    EXPECT_NEAR(start.points[7].x(), 0.7, 1e-6);
    EXPECT_NEAR(start.points[7].y(), 1, 1e-6);

    const double now = 1767268800.25; // some afternoon in 2026
    const QSize size(156, 104);
    const QImage frame = welcome::renderMesh(welcome::meshAt(now), size);
    EXPECT_EQ(welcome::renderMesh(welcome::meshAt(now), size), frame) << "the same instant draws the same frame";
    EXPECT_NE(welcome::renderMesh(welcome::meshAt(now + 1), size), frame) << "the field moves with time";

    // Each control point's colour lies at its point; the corners carry the base colour.
    const welcome::MeshGradient mesh = welcome::meshAt(now);
    for (const std::size_t i : {0u, 1u, 2u, 4u, 6u, 8u}) {
        const QPointF at(mesh.points[i].x() * (size.width() - 1), mesh.points[i].y() * (size.height() - 1));
        EXPECT_TRUE(near(frame.pixelColor(at.toPoint()), mesh.colours[i], 10)) << "control point " << i;
    }
    EXPECT_TRUE(near(mesh.colours[0], welcome::baseColour(), 0));
    EXPECT_GT(mesh.colours[1].lightness(), mesh.colours[7].lightness()) << "indigo with 0.9 white is lighter than with 0.7";
    EXPECT_EQ(mesh.colours[4], QColor(Qt::white));

    // The glow: white at 0.5 over the corners, 0.2 at the centre.
    QImage painted(780, 520, QImage::Format_RGB32);
    QPainter painter(&painted);
    welcome::paintBackground(painter, QRectF(0, 0, 780, 520), now);
    painter.end();
    EXPECT_TRUE(near(painted.pixelColor(1, 1), over(welcome::baseColour(), QColor(255, 255, 255, 128)), 10));
    const QPoint centre(int(mesh.points[4].x() * 779), int(mesh.points[4].y() * 519));
    EXPECT_TRUE(near(painted.pixelColor(centre), over(Qt::white, QColor(255, 255, 255, 51)), 6));
}
