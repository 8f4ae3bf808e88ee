"""``python -m vornet``: the ``vornet`` command."""

import sys

from vornet.cli import main

sys.exit(main())
