#pragma once

#include "App/ShellStatus.h"

#include <QImage>
#include <QPainterPath>
#include <QString>

namespace quillmere {

// The tray icon's pictures: a cloud with a mark for each state, drawn with QPainter from path
// data on a 24-unit grid, so every size is sharp. Only the syncing state moves: its arrows
// turn through syncingFrames frames.
class TrayIconPainter
{
public:
    static constexpr int syncingFrames = 8;

    // The number of frames of a state: syncingFrames while syncing, else 1.
    static int frameCount(TrayIconState state);
    // One frame (taken modulo frameCount) at size x size pixels, on a transparent ground.
    static QImage render(TrayIconState state, int frame, int size);
    // An orange dot in the top right corner: something waits in the panel.
    static void paintBadge(QImage &image);

    // The subset of SVG path syntax the glyphs use: absolute M, L, H, V, C, Q and Z, numbers
    // separated by spaces or commas. Anything else ends the path where it stands.
    static QPainterPath parsePath(const QString &data);
};

} // namespace quillmere
