"""python3 -m vantrel_llama: see cli.py."""
import sys

try:
    from .cli import main
except ImportError as e:  # the operators are not built yet: say how, without a traceback
    sys.exit(f"error: {e}")

sys.exit(main())
