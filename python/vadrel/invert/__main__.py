"""``python3 -m vadrel.invert``: see :mod:`vadrel.cli.invert`."""
import sys

from vadrel.cli.invert import main

__all__: list[str] = []

sys.exit(main())
