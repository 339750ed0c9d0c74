"""python3 -m vantrel_llama: see cli.py."""
import sys

from .cli import main

sys.exit(main())
