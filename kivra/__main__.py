"""``python -m kivra``: the kivra command."""

import sys

from .cli import main

sys.exit(main())
