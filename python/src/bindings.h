// Pieces of the extension module signalpattern._core that are bound in files of their own.
#ifndef SIGNALPATTERN_PY_BINDINGS_H
#define SIGNALPATTERN_PY_BINDINGS_H

#include <pybind11/pybind11.h>

namespace sppy {

// Pattern: a pattern file loaded, its header, spectrum and source name.
void BindPattern(pybind11::module_& m);

}  // namespace sppy

#endif
