#!/usr/bin/env python3
"""Draws which folder of the core includes which (docs/include_graph.dot, and .svg with
Graphviz's dot when it is there), the folders ranked by layer, lowest at the bottom. An edge
that runs upward or between two folders of one layer is drawn red; cmake/check_layers.cmake
fails the build on such an include."""
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
# The layers as the build checks them.
with open(os.path.join(ROOT, "cmake", "check_layers.cmake"), encoding="utf-8") as _f:
    RANKS = {m[0]: int(m[1]) for m in re.findall(r"^set\(rank_(\w+) (\d+)\)", _f.read(), re.M)}


def edges():
    found = {}
    for folder in RANKS:
        path = os.path.join(ROOT, folder)
        if not os.path.isdir(path):
            continue
        for name in sorted(os.listdir(path)):
            if not name.endswith((".cpp", ".h")):
                continue
            with open(os.path.join(path, name), encoding="utf-8", errors="replace") as f:
                for target in re.findall(r'^#include "([a-z_]+)/', f.read(), re.M):
                    if target != folder and target in RANKS:
                        found[(folder, target)] = found.get((folder, target), 0) + 1
    return found


def main():
    out = os.path.join(ROOT, "docs", "include_graph.dot")
    lines = ["digraph includes {", "  rankdir=BT;", "  node [shape=box, fontname=Helvetica];"]
    for rank in sorted(set(RANKS.values())):
        names = " ".join(f'"{f}"' for f, r in RANKS.items() if r == rank)
        lines.append(f"  {{ rank=same; {names} }}")
    bad = 0
    for (src, dst), n in sorted(edges().items()):
        wrong = RANKS[dst] >= RANKS[src]
        bad += wrong
        lines.append(f'  "{src}" -> "{dst}" [label="{n}"{", color=red" if wrong else ""}];')
    lines.append("}")
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")
    if shutil.which("dot"):
        subprocess.run(["dot", "-Tsvg", out, "-o", out[:-4] + ".svg"], check=True)
    print(f"{out}: {bad} includes upward or across a layer")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
