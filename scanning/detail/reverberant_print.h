// A clip's detail print as a room would smear it: every band's energy decaying over RT60 after
// the direct sound. Heard in a room, a sweeper's drum phrase keeps its hits but its pauses fill
// with their decay, and the plain print then correlates with it about as well as with other
// sound; the smeared print is the clip the detail check compares a failing detection with once
// more (detail_gate.cpp). The decision layer's reverberant view does the same for the pattern's
// levels (detector/reverb_view.h).
#ifndef SP_DETAIL_REVERBERANT_PRINT_H
#define SP_DETAIL_REVERBERANT_PRINT_H

#include "detail_print.h"

namespace spdetail {

// The print smeared by a room of rt60 seconds whose reverberant tail holds drrDb less energy
// than the direct sound. rt60 <= 0 gives the print as it is.
DetailPrint Reverberant(const DetailPrint& print, float rt60, float drrDb);

}  // namespace spdetail

#endif
