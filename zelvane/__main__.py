"""``python -m zelvane``: the ``zelvane`` command; without arguments it fits the
embedded example."""

import sys

from zelvane.cli import main

if __name__ == "__main__":
    sys.exit(main())
