"""`python -m tessel`: the `quarl` command line."""

import sys

from tessel.cli import main

sys.exit(main())
