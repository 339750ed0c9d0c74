// The decoder's layer loop (vantrel/ops/decoder.h) as the Python package sees it.
#pragma once

#include <pybind11/pybind11.h>

namespace vantrel::bindings {

// Adds `DecoderLayers` to `m`: the layers' weights held once, a step run in one call.
void bind_decoder(pybind11::module_& m);

}  // namespace vantrel::bindings
