"""``python -m quillharbour``: the command line (see :mod:`quillharbour.cli`)."""

import sys

from .cli import main

sys.exit(main())
