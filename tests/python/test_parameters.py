"""One parameter table: both modules' text signatures, the stubs, the API's and the command
line's defaults and help all agree with `orivex._native.parameters()`."""

import runpy
import inspect
import pathlib

import _orivex
import orivex
from orivex import _native, api
from orivex.cli import build_parser

REPO = pathlib.Path(__file__).resolve().parents[2]
TABLE = _native.parameters()
LITERALS = {"None": None, "True": True, "False": False}


def text_signature(function):
    """(name, default or a marker for none) of a function's __text_signature__."""
    out = []
    for part in filter(None, (p.strip() for p in function.__text_signature__[1:-1].split(","))):
        name, sep, value = part.partition("=")
        out.append((name, (LITERALS[value] if value in LITERALS else float(value)) if sep else inspect.Parameter.empty))
    return out


def test_the_modules_signatures_are_the_table():
    assert [k for k, _ in TABLE.items()][:2] == ["root", "dwi"]
    for module in (_orivex, _native):
        for name in ("inspect", "audit", "audit_profiled", "audit_bids", "detect_flip", "repair",
                     "recompute_bval"):
            function = getattr(module, name, None)
            if function is None:
                continue
            for param, value in text_signature(function):
                if value is not inspect.Parameter.empty:
                    assert value == TABLE[param][1], (module.__name__, name, param)
    # The second module takes flags where the first has variants.
    assert [n for n in dir(_native) if not n.startswith("_")] == [
        "audit", "check_options", "detect_flip", "parameters", "repair", "version"]
    assert [p for p, _ in text_signature(_native.audit)][-6:] == [
        "profile", "qc", "qc_tracks", "pretty", "coherence", "keep_pool"]


def test_the_stubs_are_generated_from_the_modules():
    stubs = runpy.run_path(str(REPO / "scripts" / "stubs.py"))
    for key, path in stubs["STUBS"].items():
        assert path.read_text() == stubs["text"](key), f"{path} is stale: run scripts/stubs.py"


def test_the_api_and_the_command_line_read_the_table():
    for function in (api.inspect, api.audit, api.detect_flip, api.repair, api.recompute_bval,
                     api.bids):
        for name, p in inspect.signature(function).parameters.items():
            if name in TABLE and p.default is not inspect.Parameter.empty:
                assert p.default == TABLE[name][1], (function.__name__, name)
    seen = set()
    for command, sub in build_parser()._subparsers._group_actions[0].choices.items():
        for action in sub._actions:
            if action.dest not in TABLE:
                continue
            seen.add(action.dest)
            kind, value, doc = TABLE[action.dest]
            assert action.default == (False if kind == "flag" else value), (command, action.dest)
            assert action.help.startswith(doc), (command, action.dest)
            if isinstance(value, (int, float)) and kind != "flag":
                assert action.help.endswith(f" (default {value:g})"), (command, action.dest)
    assert {"tolerance", "b0_threshold", "seeds", "verdict_margin", "memory_limit"} <= seen
    # A run of one command builds that command's parser alone, which reads it the same.
    commands = build_parser()._subparsers._group_actions[0].choices
    for name in commands:
        full = {a.dest: (a.default, a.required, a.option_strings) for a in commands[name]._actions}
        alone = build_parser(only=name)._subparsers._group_actions[0].choices
        assert list(alone) == [name]
        assert {a.dest: (a.default, a.required, a.option_strings) for a in alone[name]._actions} == full


def test_only_the_api_calls_the_native_modules():
    package = pathlib.Path(orivex.__file__).parent
    for path in package.rglob("*.py"):
        text = path.read_text()
        calls = "import _orivex" in text or "_native" in text.replace("orivex._native adds", "")
        assert not calls or path.name == "api.py", path.relative_to(package)
