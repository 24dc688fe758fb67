#pragma once

#include <QColor>

namespace quillmere::welcome {

// The colours of the welcome screen and its fish: the platform's indigo and orange as the
// desktop shows them elsewhere, mixed in a perceptual space (Oklab) so that a mix keeps
// its lightness instead of going muddy.
QColor indigo();
QColor orange();
// The colour f of the way from a to b in Oklab (f = 0 gives a); alpha mixes linearly.
QColor mixPerceptual(const QColor &a, const QColor &b, double f);
// Indigo with a fifth of orange: the fish and the outer colour of the background.
QColor baseColour();

} // namespace quillmere::welcome
