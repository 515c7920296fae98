"""``python -m tavo``: the command line. Parseable by Python 2.7, which gets
a clear message instead of a syntax error."""

import sys

if __name__ == "__main__":
    if sys.version_info < (3,):
        sys.exit("tavo: the command line needs Python 3.8 or later")
    from tavo._cli import main

    sys.exit(main())
