import sys

from tavimo.cli import main

if __name__ == "__main__":
    sys.exit(main())
