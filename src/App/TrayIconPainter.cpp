#include "App/TrayIconPainter.h"

#include <QPainter>
#include <QRegularExpression>
#include <QTransform>

#include <algorithm>
#include <cmath>
#include <vector>

namespace quillmere {

namespace {

// The cloud every state shares, and the marks drawn on it.
const char *const cloudPath = "M7 19 H17.5 C20.5 19 22.5 16.8 22.5 14.2 C22.5 11.7 20.6 9.7 18.2 9.5 "
                              "C17.4 6.4 14.9 4.5 12 4.5 C9 4.5 6.6 6.5 5.9 9.3 C3.3 9.7 1.5 11.8 1.5 14.2 "
                              "C1.5 16.9 3.9 19 7 19 Z";
const char *const checkPath = "M8.6 13.6 L11 16 L15.6 11.2";
const char *const pauseLeftPath = "M10 11 V16.5";
const char *const pauseRightPath = "M14 11 V16.5";
const char *const exclamationPath = "M12 10.5 V14.2";
const char *const slashPath = "M4 4 L20 20";
const char *const sleepPath = "M9.5 11 H14 L9.5 16 H14";
const char *const plusPath = "M12 10.5 V16.5 M9 13.5 H15";
// One arrow of the syncing mark: an arc of a circle around (12, 13.5) and its head, drawn
// twice, half a turn apart.
const char *const arrowArcPath = "M8.6 13.5 C8.6 11.6 10.1 10.1 12 10.1 C13 10.1 13.9 10.5 14.5 11.2";
const char *const arrowHeadPath = "M14.9 9.4 L14.7 11.5 L12.6 11.2";

struct Palette
{
    QColor cloud;
    QColor outline;
    QColor mark;
};

Palette paletteFor(TrayIconState state)
{
    const QColor outline(32, 36, 44, 220);
    switch (state) {
    case TrayIconState::offline:
    case TrayIconState::disconnected:
        return {QColor(200, 204, 210), outline, QColor(90, 96, 106)};
    case TrayIconState::hibernating:
        return {QColor(236, 238, 242), outline, QColor(104, 112, 160)};
    case TrayIconState::error:
        return {QColor(246, 246, 248), outline, QColor(214, 48, 49)};
    case TrayIconState::storageFull:
        return {QColor(246, 246, 248), outline, QColor(214, 126, 20)};
    case TrayIconState::paused:
        return {QColor(246, 246, 248), outline, QColor(70, 76, 88)};
    case TrayIconState::syncing:
        return {QColor(246, 246, 248), outline, QColor(36, 110, 220)};
    case TrayIconState::noFolders:
        return {QColor(246, 246, 248), outline, QColor(110, 116, 126)};
    case TrayIconState::idle:
        break;
    }
    return {QColor(246, 246, 248), outline, QColor(30, 150, 80)};
}

void strokeMark(QPainter &painter, const QPainterPath &path, const QColor &colour, qreal width = 1.9)
{
    QPen pen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
}

} // namespace

int TrayIconPainter::frameCount(TrayIconState state)
{
    return state == TrayIconState::syncing ? syncingFrames : 1;
}

QPainterPath TrayIconPainter::parsePath(const QString &data)
{
    static const QRegularExpression token(QStringLiteral(R"([A-Za-z]|-?\d+(?:\.\d+)?)"));
    std::vector<QString> tokens;
    for (auto it = token.globalMatch(data); it.hasNext();)
        tokens.push_back(it.next().captured());

    QPainterPath path;
    size_t i = 0;
    QChar command;
    auto number = [&](double &out) {
        if (i >= tokens.size() || tokens[i].front().isLetter())
            return false;
        out = tokens[i++].toDouble();
        return true;
    };
    while (i < tokens.size()) {
        if (tokens[i].front().isLetter())
            command = tokens[i++].front();
        double a = 0, b = 0, c = 0, d = 0, e = 0, f = 0;
        switch (command.unicode()) {
        case 'M':
            if (!number(a) || !number(b))
                return path;
            path.moveTo(a, b);
            command = QLatin1Char('L'); // further pairs draw lines, as in SVG
            break;
        case 'L':
            if (!number(a) || !number(b))
                return path;
            path.lineTo(a, b);
            break;
        case 'H':
            if (!number(a))
                return path;
            path.lineTo(a, path.currentPosition().y());
            break;
        case 'V':
            if (!number(a))
                return path;
            path.lineTo(path.currentPosition().x(), a);
            break;
        case 'C':
            if (!number(a) || !number(b) || !number(c) || !number(d) || !number(e) || !number(f))
                return path;
            path.cubicTo(a, b, c, d, e, f);
            break;
        case 'Q':
            if (!number(a) || !number(b) || !number(c) || !number(d))
                return path;
            path.quadTo(a, b, c, d);
            break;
        case 'Z':
            path.closeSubpath();
            if (i < tokens.size() && !tokens[i].front().isLetter())
                return path;
            break;
        default:
            return path;
        }
    }
    return path;
}

QImage TrayIconPainter::render(TrayIconState state, int frame, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 24.0, size / 24.0);

    const Palette palette = paletteFor(state);
    static const QPainterPath cloud = parsePath(QString::fromLatin1(cloudPath));
    painter.setPen(QPen(palette.outline, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(palette.cloud);
    if (state == TrayIconState::disconnected) {
        // Not linked: only the outline, dashed.
        QPen dashed(palette.outline, 1.3, Qt::DashLine, Qt::RoundCap, Qt::RoundJoin);
        dashed.setDashPattern({2.0, 1.6});
        painter.setPen(dashed);
        painter.setBrush(Qt::NoBrush);
    }
    painter.drawPath(cloud);

    switch (state) {
    case TrayIconState::idle:
        strokeMark(painter, parsePath(QString::fromLatin1(checkPath)), palette.mark);
        break;
    case TrayIconState::paused:
        strokeMark(painter, parsePath(QString::fromLatin1(pauseLeftPath)), palette.mark, 2.2);
        strokeMark(painter, parsePath(QString::fromLatin1(pauseRightPath)), palette.mark, 2.2);
        break;
    case TrayIconState::error:
    case TrayIconState::storageFull: {
        strokeMark(painter, parsePath(QString::fromLatin1(exclamationPath)), palette.mark, 2.2);
        painter.setPen(Qt::NoPen);
        painter.setBrush(palette.mark);
        painter.drawEllipse(QPointF(12, 16.6), 1.2, 1.2);
        if (state == TrayIconState::storageFull) {
            // A full bar under the cloud.
            painter.drawRoundedRect(QRectF(5, 20.6, 14, 2.4), 1.2, 1.2);
        }
        break;
    }
    case TrayIconState::offline:
        strokeMark(painter, parsePath(QString::fromLatin1(slashPath)), palette.mark, 2.0);
        break;
    case TrayIconState::hibernating:
        strokeMark(painter, parsePath(QString::fromLatin1(sleepPath)), palette.mark, 1.7);
        break;
    case TrayIconState::noFolders:
        strokeMark(painter, parsePath(QString::fromLatin1(plusPath)), palette.mark, 1.8);
        break;
    case TrayIconState::syncing: {
        static const QPainterPath arc = parsePath(QString::fromLatin1(arrowArcPath));
        static const QPainterPath head = parsePath(QString::fromLatin1(arrowHeadPath));
        const int frames = frameCount(state);
        const qreal turn = 360.0 / frames * (((frame % frames) + frames) % frames);
        for (qreal half : {0.0, 180.0}) {
            QTransform rotation;
            rotation.translate(12, 13.5);
            rotation.rotate(turn + half);
            rotation.translate(-12, -13.5);
            strokeMark(painter, rotation.map(arc), palette.mark, 1.7);
            strokeMark(painter, rotation.map(head), palette.mark, 1.7);
        }
        break;
    }
    case TrayIconState::disconnected:
        break;
    }
    return image;
}

void TrayIconPainter::paintBadge(QImage &image)
{
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal diameter = image.width() * 0.42;
    const QRectF dot(image.width() - diameter, 0, diameter, diameter);
    // A ring in the ground's absence keeps the dot apart from the cloud on any panel colour.
    painter.setPen(QPen(QColor(255, 255, 255), std::max<qreal>(1, image.width() / 16.0)));
    painter.setBrush(QColor(240, 130, 20));
    painter.drawEllipse(dot.adjusted(0.5, 0.5, -0.5, -0.5));
}

} // namespace quillmere
