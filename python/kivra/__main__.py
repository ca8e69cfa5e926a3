"""``python -m kivra``: the kivra command."""

import sys

from .tools.cli import main

sys.exit(main())
