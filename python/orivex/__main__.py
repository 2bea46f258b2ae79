"""Command-line front end of orivex."""

import sys


def main(argv=None):
    from orivex import cli

    code = cli.main(argv)
    # The process ends here: the final collections over everything imported would only delay
    # the exit (by about as long as the start-up takes), and nothing left needs finalising.
    import gc

    gc.freeze()
    return code


if __name__ == "__main__":
    sys.exit(main())
