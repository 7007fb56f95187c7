"""python -m velmar: the demonstration engine (same as python -m velmar.engine)."""
import sys

from .engine import main

sys.exit(main())
