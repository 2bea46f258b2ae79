"""The two-space pretty layout of JSON text, by re-spacing its tokens: every number and string
stays exactly as the module wrote it."""

import re

_TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"|[{}\[\],:]|[^{}\[\],:"\s]+')


def pretty_json(text):
    """Every object member and array element on its own line, two spaces per level, ": "
    between key and value, `{}` and `[]` for empty ones; no final line feed.

    Re-spacing the tokens rather than parsing and re-emitting keeps them exact and is several
    times faster, which counts for files written by the thousand (the BIDS App's reports).
    """
    toks = _TOKEN.findall(text)
    out = []
    depth = 0
    i, n = 0, len(toks)
    while i < n:
        t = toks[i]
        if t == "{" or t == "[":
            if i + 1 < n and toks[i + 1] in ("}", "]"):
                out.append(t + toks[i + 1])
                i += 2
                continue
            depth += 1
            out.append(t + "\n" + "  " * depth)
        elif t == "}" or t == "]":
            depth -= 1
            out.append("\n" + "  " * depth + t)
        elif t == ",":
            out.append(",\n" + "  " * depth)
        elif t == ":":
            out.append(": ")
        else:
            out.append(t)
        i += 1
    return "".join(out)
