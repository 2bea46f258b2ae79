"""The orivex command line."""

import argparse
import sys

import _orivex


def main(argv=None):
    parser = argparse.ArgumentParser(prog="orivex")
    parser.add_argument("--version", action="version", version="orivex " + _orivex.version())
    parser.parse_args(argv)
    return 0
