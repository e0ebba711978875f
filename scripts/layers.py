#!/usr/bin/env python3
"""The include order of the service's layers.

Each folder of LAYERS may include its own headers and those of the folders
before it, never one after it nor a folder that is not a layer. The
programs around the service (tests, tools, benchmarks) sit on top and may
include any layer and are not checked; the package's custom actions may
include only what their DLL links (CONSUMERS).

    layers.py            check; one line per offending include, exit 1
    layers.py --graph    the folder include graph (folder -> folders)
    --root DIR           another tree than the one this script lies in
"""

import argparse
import os
import re
import sys

LAYERS = ["base", "config", "store", "catalogue", "transfer", "install", "download", "com", "service"]
# Folders outside the layers that are checked, with the highest layer each
# may include.
CONSUMERS = {"packaging": "config"}
# Headers written by the build, by the folder whose build writes them.
GENERATED = {"ZELUpdate_TLB.h": "com"}
SOURCE_SUFFIXES = (".h", ".hpp", ".c", ".cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def sources(root, folder):
    for dirpath, dirnames, filenames in os.walk(os.path.join(root, folder)):
        dirnames.sort()
        for name in sorted(filenames):
            if name.endswith(SOURCE_SUFFIXES):
                yield os.path.join(dirpath, name)


def includes(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if m:
                yield number, m.group(1)


def resolve(root, path, header):
    """The tree-relative path of an included header: beside the including
    file, then in each folder above it up to the root (the include paths of
    the build are the root and, for the hook DLL, its parent folder)."""
    here = os.path.dirname(path)
    while True:
        candidate = os.path.normpath(os.path.join(here, header))
        if os.path.isfile(candidate):
            return os.path.relpath(candidate, root)
        if os.path.samefile(here, root):
            return None
        here = os.path.dirname(here)


def folder_of(relpath):
    return relpath.split(os.sep)[0] if os.sep in relpath else ""


def scan(root, folders):
    """(file, line, header, included folder) of every include of the folders."""
    for folder in folders:
        for path in sources(root, folder):
            for number, header in includes(path):
                rel = resolve(root, path, header)
                if rel is not None:
                    target = folder_of(rel)
                elif os.path.basename(header) in GENERATED:
                    target = GENERATED[os.path.basename(header)]
                else:
                    target = None
                yield os.path.relpath(path, root), number, header, target


def check(root):
    problems = []
    order = {name: i for i, name in enumerate(LAYERS)}
    limits = dict(order)
    limits.update({name: order[top] for name, top in CONSUMERS.items()})
    for folder in LAYERS + list(CONSUMERS):
        if not os.path.isdir(os.path.join(root, folder)):
            if folder in order:
                problems.append(f"{folder}/: the layer folder is missing")
            continue
        for file, line, header, target in scan(root, [folder]):
            if target is None:
                problems.append(f"{file}:{line}: includes {header}, which is not in the tree")
            elif target == folder:
                continue
            elif target not in order:
                problems.append(f"{file}:{line}: includes {header} from {target or 'the root'}, which is not a layer")
            elif order[target] > limits[folder]:
                problems.append(f"{file}:{line}: includes {header} from a higher layer {target}")
    return problems


def graph(root):
    def source_folder(name):
        path = os.path.join(root, name)
        # A build directory inside the tree is not a folder of the sources.
        return (os.path.isdir(path) and not name.startswith(".")
                and not os.path.exists(os.path.join(path, "CMakeCache.txt"))
                and any(True for _ in sources(root, name)))
    top = [name for name in sorted(os.listdir(root)) if source_folder(name)]
    known = [name for name in LAYERS if name in top] + [name for name in top if name not in LAYERS]
    lines = []
    for folder in known:
        targets = {t for _, _, _, t in scan(root, [folder]) if t and t != folder}
        if not targets:
            lines.append(f"{folder} -> (none)")
            continue
        rank = {name: i for i, name in enumerate(known)}
        lines.append(f"{folder} -> " + " ".join(sorted(targets, key=lambda t: (rank.get(t, len(rank)), t))))
    return lines


def main():
    parser = argparse.ArgumentParser(description="Checks the include order of the layers.")
    parser.add_argument("--graph", action="store_true", help="print the folder include graph")
    parser.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        help="the source tree (default: the one this script lies in)")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    if args.graph:
        print("\n".join(graph(root)))
        return 0
    problems = check(root)
    for problem in problems:
        print(problem)
    if problems:
        print(f"layers: {len(problems)} include(s) out of order ({' < '.join(LAYERS)})")
        return 1
    print(f"layers: every include keeps the order {' < '.join(LAYERS)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
