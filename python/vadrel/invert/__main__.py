"""``python3 -m vadrel.invert``: see :mod:`vadrel.cli.invert`."""
import sys

from vadrel.cli.invert import main

sys.exit(main())
