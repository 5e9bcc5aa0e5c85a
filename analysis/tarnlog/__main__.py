import sys

from .cli import main

# Guarded: Dask's local worker processes start by importing the main module.
if __name__ == "__main__":
    sys.exit(main())
