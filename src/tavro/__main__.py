"""python -m tavro: write the reversible hex dump of a file, or read one back."""

import sys

try:
    from tavro._dumpcommand import run
except KeyboardInterrupt:  # Ctrl-C while the command is still loading
    sys.exit(130)

sys.exit(run())
