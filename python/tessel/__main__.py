"""`python -m tessel`: the `quarl` command line."""

import sys

from tessel._main import main

sys.exit(main())
