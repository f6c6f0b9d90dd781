"""``python3 -m gmms.catalogue MODEL --scenarios FILE --pairs FILE --out FILE [...]``."""

import argparse
import sys

from .cli import add_parser


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m gmms")
    add_parser(parser.add_subparsers(dest="command", required=True))
    args = parser.parse_args(["catalogue", *(sys.argv[1:] if argv is None else argv)])
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
