// Values as people read them: numbers with their print format's decimals,
// dates and times in ISO 8601 (used by `cat --formatted`, `describe` and the
// codebook).
#pragma once

#include <cstddef>
#include <string>

#include "numbertext.h"

class VESK_Variable;
class VESK_VLMapImpl;
union OBS;

namespace vesk {

// The style of a numeric variable's print format (see StyleOfFormat).
NumberStyle PrintStyle(const VESK_Variable& var);

// The label of a value of `width` (0 numeric, else string bytes) held in
// cells, or null. A string value is compared as the map stores it, padded with
// blanks to the map's width; a map narrower than the value labels nothing.
const std::string* FindLabel(const VESK_VLMapImpl& labels, const OBS* cells, int width);

}  // namespace vesk
