"""Command-line front end of orivex."""

import sys


def main(argv=None):
    from orivex import cli

    return cli.main(argv)


if __name__ == "__main__":
    sys.exit(main())
