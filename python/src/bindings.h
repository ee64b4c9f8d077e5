// The parts of the extension module signalpattern._core, bound in their own files.
#ifndef SIGNALPATTERN_PY_BINDINGS_H
#define SIGNALPATTERN_PY_BINDINGS_H

#include <pybind11/pybind11.h>

namespace sppy {

// Pattern: a pattern file loaded, its header, spectrum and source name.
void BindPattern(pybind11::module_& m);

}  // namespace sppy

#endif
