"""The orivex command line: one module per command (`add_parser`, `run`), the options and checks
they share in `common`, the image commands' road in `image`; `main` parses, runs and turns every
outcome into an exit code and at most one line on stderr."""

import importlib
import os
import sys
import threading

from orivex.cli import outputs
from orivex.cli.common import EXIT_FAILURE, EXIT_USAGE, InputError, UsageError, parse_one, top_parser

# Command name -> its module under orivex.cli, in the order `orivex --help` lists them.
COMMANDS = {
    "inspect": "table",
    "audit": "audit",
    "detect-flip": "detect_flip",
    "repair": "repair",
    "recompute-bval": "recompute_bval",
    "bids": "bids",
    "demo": "demo",
}


def _module(command):
    return importlib.import_module(f"orivex.cli.{COMMANDS[command]}")


def build_parser(only=None):
    """The parser of every command, or with `only` (a command's name) of that command alone: a
    run of one command need not build the other commands' options."""
    p, sub = top_parser()
    for command in COMMANDS:
        if only in (None, command):
            _module(command).add_parser(sub)
    return p


def _import_report_types():
    try:
        import orivex.report  # noqa: F401
    except Exception:  # the command itself imports it again and reports any failure
        pass


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    only = argv[0] if argv and argv[0] in COMMANDS else None
    parser = build_parser(only)
    args = parser.parse_args(argv)
    args.argv = argv
    if args.command != "bids":
        # The command ends in a Report, whose types take a while to import: a thread does that
        # while the native call runs without the interpreter. Not for `bids`, which starts a
        # process pool and wants no other thread alive when it does.
        threading.Thread(target=_import_report_types, name="orivex-import").start()
    try:
        code = _module(args.command).run(args)
        sys.stdout.flush()  # a closed pipe fails here, inside the handlers, not at exit
        return code
    except BrokenPipeError:
        # The reader went away (orivex ... | head): nothing more to say, and nowhere to say it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
    except UsageError as e:
        parser.print_usage(sys.stderr)
        sys.stderr.write(f"orivex: error: {e}\n")
        return EXIT_USAGE
    except KeyboardInterrupt:
        sys.stderr.write("orivex: interrupted\n")
        return 130
    except SystemExit:
        raise
    except BaseException as e:  # every failure, the core's internal ones too, ends in one line
        sys.stderr.write(f"orivex: error: {describe(e)}\n")
        return EXIT_FAILURE


def describe(e):
    """The one-line text of a failure: the message itself for expected ones."""
    text = str(e)
    if isinstance(e, MemoryError):
        return "out of memory" + (f" ({text})" if text else "")
    if isinstance(e, (ValueError, OSError, TypeError, ImportError, InputError, outputs.OutputError)):
        return text or type(e).__name__
    return f"internal error ({type(e).__name__}){': ' + text if text else ''}"


__all__ = ["main", "build_parser", "describe", "parse_one"]
