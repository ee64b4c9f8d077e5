// The names of speed variants. The pattern of a clip played N percent faster (negative: slower)
// lives beside NAME.tvs as NAME.speed+N.tvs, N written as "%+g" ("+1.5", "-3"). `sigpat create
// --speed` writes such files, the scan finds them beside the patterns it is given and the
// decision layer groups every variant with its main pattern by these names.
#ifndef SP_SPEEDVARIANTNAME_H
#define SP_SPEEDVARIANTNAME_H

#include <string>

#include "sp_types.h"

namespace sp {

// "+1.5", "-3": the speed change as it appears in a variant's name.
SP_API std::string SpeedLabel(double percent);

// The variant's name of a pattern file: "dir/jingle.tvs", 1.5 -> "dir/jingle.speed+1.5.tvs". A
// name without the extension ".tvs" gets the speed part at its end ("jingle" -> "jingle.speed+1.5").
SP_API std::string SpeedVariantName(const std::string& patternFile, double percent);

// True when `name` is a variant's name: its last ".speed" is followed by a sign, digits, an
// optional dot with digits, and then the end of the name or a dot. Gives the main pattern's name
// (the name without the speed part) and the speed change; either pointer may be null.
SP_API bool ParseSpeedVariantName(const std::string& name, std::string* mainName, double* percent);

}  // namespace sp

#endif
