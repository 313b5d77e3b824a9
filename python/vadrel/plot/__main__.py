"""``python3 -m vadrel.plot``: see :mod:`vadrel.cli.plot`."""
import sys

from vadrel.cli.plot import main

__all__: list[str] = []

sys.exit(main())
