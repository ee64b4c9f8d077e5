// A picture of a pattern's time-spectrum: time across, the bands up, band power as colour on
// one fixed dB scale (the same for every picture, printed beside it), labelled axes. Any value
// a pattern file can hold is drawn: infinite, NaN and off-scale values are clamped to the scale,
// and silence is its bottom colour.
#ifndef SIGPAT_PATTERN_PNG_H
#define SIGPAT_PATTERN_PNG_H

#include <string>

#include "SignalPattern.h"

namespace sigpat {

// Writes the PNG file whole or not at all; throws Error naming it.
void WritePatternPng(const SignalTVSEx& pattern, const std::string& title, const std::string& png);

}  // namespace sigpat

#endif
