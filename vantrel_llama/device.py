"""The built operator modules and the XPU device they serve.

`vantrel` and `xpuemu` are compiled into the build folder (build/lib by default). Run from a checkout,
`import vantrel` would otherwise find the C++ source folder `vantrel/` and yield an empty namespace
package, so the build folder is put on the path first and a missing build is reported with the
command that makes it.
"""
import importlib
import os
import pathlib
import sys

_REPO = pathlib.Path(__file__).resolve().parents[1]
BUILD_LIB = pathlib.Path(os.environ.get("VANTREL_BUILD", str(_REPO / "build" / "lib")))


def _import_built(name):
    module = sys.modules.get(name)
    if module is not None and getattr(module, "__file__", None):
        return module
    sys.modules.pop(name, None)  # a namespace package made from the source folder
    if BUILD_LIB.is_dir() and str(BUILD_LIB) not in sys.path:
        sys.path.insert(0, str(BUILD_LIB))
    how = (f"is not built: run scripts/setup in {_REPO} (it builds into {BUILD_LIB}), or set "
           f"VANTREL_BUILD to the folder that holds it")
    try:
        module = importlib.import_module(name)
    except ImportError as e:
        raise ImportError(f"the module {name!r} {how} ({e})") from e
    if not getattr(module, "__file__", None):
        sys.modules.pop(name, None)
        raise ImportError(f"the module {name!r} {how} (found only the source folder "
                          f"{list(module.__path__)[0]})")
    return module


xpuemu = _import_built("xpuemu")  # registers the XPU device with PyTorch
vantrel = _import_built("vantrel")
