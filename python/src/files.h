// files.h - the compiled module's file readers (files.cpp).
#pragma once

#include <pybind11/pybind11.h>

namespace vivazuzoz_python {

// Adds read_snapshot, Recording and the temperature scale to module `m`.
void RegisterFiles(pybind11::module_& m);

}  // namespace vivazuzoz_python
