// Moves the cells of a case between two case layouts.
#pragma once

#include "obs.h"

class ObsProjector {
public:
    // Copies the projected cells of the case `from` into the case `to`.
    void Copy(const OBS* from, OBS* to) const;
};
