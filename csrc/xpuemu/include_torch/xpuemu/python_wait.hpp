// For pybind11 functions of modules built on the XPU device: running device work without the
// interpreter lock, with an interrupted wait raised as its Python exception.
#pragma once

#include <pybind11/pybind11.h>
#include <torch/csrc/Exceptions.h>

namespace xpuemu {

// Runs `work` without the interpreter lock and returns its result. A wait inside it that a signal
// ended (the Python module's wait hook) arrives as a pending Python error (KeyboardInterrupt) and
// is raised as such.
template <typename F>
auto without_gil(F work) {
  try {
    pybind11::gil_scoped_release release;
    return work();
  } catch (python_error& e) {
    e.restore();
    throw pybind11::error_already_set();
  }
}

}  // namespace xpuemu
