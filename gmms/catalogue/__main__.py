"""``python3 -m gmms.catalogue MODEL --scenarios FILE --pairs FILE --out FILE [...]``: the same
as ``python3 -m gmms catalogue ...``, missing packages and all."""

import sys

from gmms.__main__ import main as gmms_main


def main(argv=None):
    return gmms_main(["catalogue", *(sys.argv[1:] if argv is None else argv)])


if __name__ == "__main__":
    sys.exit(main())
