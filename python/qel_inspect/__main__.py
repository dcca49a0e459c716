"""python3 -m qel_inspect: the qel-inspect command."""
import sys

from qel_inspect.cli import main

if __name__ == "__main__":
    sys.exit(main())
