// Comparing a screenshot with the program's own pictures: how much of a picture's region
// appears, pixel for pixel within a tolerance, at a place of the screenshot.
#pragma once

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>

namespace xtest {

// The picture :/png/<id>.png (or :/icon/<id>.png with icon set), null when missing.
QImage Picture(int id, bool icon = false);

// With the picture's top left corner at `at` of the screenshot: the share (0 to 1) of the
// opaque pixels in region (picture coordinates) whose every channel lies within tolerance
// of the screenshot's pixel there. Pixels off the screenshot count as different; an empty
// region gives 0.
double MatchShare(const QImage& shot, QPoint at, const QImage& picture, QRect region, int tolerance = 24);

// Where in places (the top left corners tried) the picture's region matches best, for a
// picture whose place a layout of its own decides.
QPoint BestPlace(const QImage& shot, const QImage& picture, QRect region, QRect places, int tolerance = 24);

}  // namespace xtest
