"""``python3 -m vadrel.tsunami``: see :mod:`vadrel.cli.tsunami`."""
import sys

from vadrel.cli.tsunami import main

__all__: list[str] = []

sys.exit(main())
