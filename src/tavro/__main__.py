"""python -m tavro: write the reversible hex dump of a file, or read one back."""

import sys

from tavro._dumpcommand import main

sys.exit(main())
