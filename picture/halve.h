#pragma once

// A picture halved as each coarser level of a pyramid is made from the one
// below: every pixel the rounded mean of the up to four it covers, an odd last
// row or column averaged on its own. The page's overview halves with it too.

#include "jpeg.h"

// Halves `from` into `to`, which has room for half its rows and columns,
// rounded up.
void halve(const Pixels& from, const Pixels& to);
