#pragma once

#include "UI/Onboarding/AquariumState.h"

#include <QPointer>
#include <QSizeF>
#include <QWidget>

class QPainter;

namespace quillmere {

// Draws the fish of an AquariumState over whatever lies behind it (it paints no background
// and lets the mouse through). It has no timer of its own: the welcome view's frame timer
// calls advance(), which steps the simulation at the canvas's size and repaints.
class AquariumCanvas : public QWidget
{
    Q_OBJECT

public:
    // The size the simulation is stepped with until the canvas is laid out.
    static constexpr QSizeF initialCanvasSize{780, 520};

    // The aquarium is not owned; it usually outlives the canvas (the window keeps it).
    explicit AquariumCanvas(AquariumState &aquarium, QWidget *parent = nullptr);

    void advance();
    QSizeF canvasSize() const { return m_canvasSize; }
    // Raised by every advance(), wrapping to 0.
    quint64 frameToken() const { return m_frameToken; }

    // Every fish, oldest first, so newer fish are drawn over older ones.
    static void drawAquarium(QPainter &painter, const AquariumState &aquarium);
    // One fish in its own frame (translated to its position, turned to its heading), in the
    // drawing its type picks; a type outside 0 to 4 gets the first drawing.
    static void drawFish(QPainter &painter, const Fish &fish);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QPointer<AquariumState> m_aquarium;
    QSizeF m_canvasSize = initialCanvasSize;
    quint64 m_frameToken = 0;
};

} // namespace quillmere
