"""`python -m qorva` runs the command line."""

from __future__ import annotations

import sys

from qorva.cli.__main__ import main

sys.exit(main())
