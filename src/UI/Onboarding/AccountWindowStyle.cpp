#include "UI/Onboarding/AccountWindowStyle.h"

#include <QLabel>
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
