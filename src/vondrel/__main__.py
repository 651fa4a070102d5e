"""``python -m vondrel``: the ``vondrel`` command."""
import sys

from vondrel.cli import main

sys.exit(main())
