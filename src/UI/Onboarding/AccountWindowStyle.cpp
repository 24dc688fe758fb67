#include "UI/Onboarding/AccountWindowStyle.h"

#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>

namespace quillmere::accountstyle {

QFont font(TextStyle style, const QFont &base)
{
    QFont made = base;
    const qreal size = base.pointSizeF() > 0 ? base.pointSizeF() : 10.0;
    switch (style) {
    case TextStyle::title2:
        made.setPointSizeF(size * 1.5);
        made.setWeight(QFont::DemiBold);
        break;
    case TextStyle::body:
        break;
    case TextStyle::callout:
        made.setPointSizeF(size * 0.95);
        break;
    case TextStyle::headline:
        made.setWeight(QFont::DemiBold);
        break;
    case TextStyle::subheadline:
        made.setPointSizeF(size * 0.95);
        made.setWeight(QFont::Medium);
        break;
    case TextStyle::caption:
        made.setPointSizeF(size * 0.85);
        break;
    case TextStyle::caption2:
        made.setPointSizeF(size * 0.78);
        made.setWeight(QFont::DemiBold);
        break;
    }
    return made;
}

QLabel *label(const QString &text, TextStyle style, QWidget *parent, const QColor &colour)
{
    auto *made = new QLabel(parent);
    made->setTextFormat(Qt::PlainText);
    made->setText(text);
    made->setFont(font(style, made->font()));
    if (colour.isValid()) {
        QPalette palette = made->palette();
        palette.setColor(QPalette::WindowText, colour);
        made->setPalette(palette);
    }
    return made;
}

void wrapAt(QLabel *label, int width)
{
    label->setWordWrap(true);
    label->setFixedWidth(width);
    label->setFixedHeight(label->heightForWidth(width));
}

QLabel *waveformSymbol(int size, const QColor &colour, QWidget *parent)
{
    auto *made = new QLabel(parent);
    const qreal ratio = parent ? parent->devicePixelRatioF() : 1.0;
    QPixmap pixmap(QSize(size, size) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    const qreal heights[] = {0.3, 0.55, 0.85, 1.0, 0.7, 0.45, 0.25};
    const int bars = 7;
    const qreal pitch = qreal(size) / bars;
    const qreal width = pitch * 0.6;
    for (int i = 0; i < bars; ++i) {
        const qreal h = heights[i] * size * 0.9;
        const QRectF bar(i * pitch + (pitch - width) / 2, (size - h) / 2, width, h);
        painter.drawRoundedRect(bar, width / 2, width / 2);
    }
    painter.end();
    made->setPixmap(pixmap);
    made->setFixedSize(size, size);
    return made;
}

QLabel *symbol(const QString &glyph, int pointSize, const QColor &colour, QWidget *parent)
{
    auto *made = new QLabel(parent);
    made->setTextFormat(Qt::PlainText);
    made->setText(glyph);
    QFont big = made->font();
    big.setPointSize(pointSize);
    made->setFont(big);
    made->setAlignment(Qt::AlignCenter);
    QPalette palette = made->palette();
    palette.setColor(QPalette::WindowText, colour);
    made->setPalette(palette);
    return made;
}

void makeProminent(QPushButton *button, const QColor &fill)
{
    button->setMinimumHeight(38);
    QFont medium = button->font();
    medium.setWeight(QFont::Medium);
    button->setFont(medium);
    button->setStyleSheet(QStringLiteral("QPushButton { background: %1; color: white; border: none; border-radius: 7px;"
                                         " padding: 6px 14px; }"
                                         "QPushButton:disabled { background: %2; color: #F2F2F2; }")
                              .arg(fill.name(), fill.lighter(160).name()));
}

void makeBordered(QPushButton *button)
{
    button->setMinimumHeight(30);
    button->setStyleSheet(QStringLiteral("QPushButton { background: white; color: #1C1C1E; border: 1px solid #C7C7CC;"
                                         " border-radius: 7px; padding: 6px 14px; }"
                                         "QPushButton:disabled { color: #AEAEB2; }"));
}

} // namespace quillmere::accountstyle
