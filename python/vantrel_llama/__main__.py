"""python3 -m vantrel_llama: see cli.py."""
import sys

try:
    from .cli import main
except ImportError as e:
    if e.name not in ("vantrel", "xpuemu", "vantrel._C", "xpuemu._C"):
        raise
    # The operators are not built, or not on the path: say how, without a traceback.
    sys.exit(f"error: vantrel_llama needs the built packages vantrel and xpuemu ({e}): run "
             f"scripts/setup, which builds them into build/lib, and put that folder on PYTHONPATH")

sys.exit(main())
