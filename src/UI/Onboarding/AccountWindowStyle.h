#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QLabel;
class QPushButton;
class QWidget;

namespace quillmere::accountstyle {

// The look the account window's steps share: a few text styles, the system colours they
// name and two button styles. Every label made here shows its text as plain text: names,
// e-mail addresses and service messages must never be read as markup.

inline const QColor accent{0x0A, 0x84, 0xFF};
inline const QColor secondaryText{0x6E, 0x6E, 0x73};
inline const QColor green{0x34, 0xC7, 0x59};
inline const QColor red{0xFF, 0x3B, 0x30};
inline const QColor orange{0xFF, 0x95, 0x00};
inline const QColor yellow{0xFF, 0xCC, 0x00};

enum class TextStyle { title2, body, callout, headline, subheadline, caption, caption2 };

QFont font(TextStyle style, const QFont &base);

// A plain-text label in that style; a colour that is not valid keeps the palette's.
QLabel *label(const QString &text, TextStyle style, QWidget *parent, const QColor &colour = QColor());
// Wraps the label's text at that width and gives it the height the text needs there (a
// wrapped label placed with an alignment in a layout is otherwise given one line's height).
void wrapAt(QLabel *label, int width);
// A large glyph standing in for a symbol image.
QLabel *symbol(const QString &glyph, int pointSize, const QColor &colour, QWidget *parent);
// The waveform symbol (bars of varied height), drawn size x size points in the colour.
QLabel *waveformSymbol(int size, const QColor &colour, QWidget *parent);

// The filled accent button of a step's main action, and the outlined one of the others.
void makeProminent(QPushButton *button, const QColor &fill = accent);
void makeBordered(QPushButton *button);

} // namespace quillmere::accountstyle
