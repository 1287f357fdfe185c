#!/usr/bin/env python3
"""Fails when an include in src/ points against the layers of layers.txt.

usage: check_includes.py LAYERS SRC_DIR

Each folder of SRC_DIR may include its own headers and those of the folders its line names;
only folders whose line names Qt may include Qt's headers; a folder missing from the list, an
include of a folder that does not exist and a test helper included from src/ fail as well.
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def read_layers(path):
    layers = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            name, _, below = line.partition(":")
            layers[name.strip()] = set(below.split())
    return layers


def qt_header(name):
    return name.startswith("Q") or name.startswith("qt") or name.startswith("Qt")


def check(layers, src):
    faults = []
    folders = sorted(d for d in os.listdir(src) if os.path.isdir(os.path.join(src, d)))
    for folder in folders:
        if folder not in layers:
            faults.append(f"{folder}/: not in the list of layers")
            continue
        allowed = layers[folder]
        for root, _, files in os.walk(os.path.join(src, folder)):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(root, name)
                rel = os.path.relpath(path, src)
                with open(path, encoding="utf-8") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        kind, header = m.groups()
                        where = f"{rel}:{number}: {header}"
                        if kind == "<":
                            if qt_header(header.split("/")[0]) and "Qt" not in allowed:
                                faults.append(f"{where}: Qt outside the Qt layer")
                            continue
                        top = header.split("/")[0] if "/" in header else folder
                        if top == folder:
                            continue
                        if top not in layers:
                            faults.append(f"{where}: not a folder of src/ (a test helper?)")
                        elif top not in allowed:
                            faults.append(f"{where}: {folder} may not include {top}")
    return faults


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    faults = check(read_layers(sys.argv[1]), sys.argv[2])
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} include(s) against the layers", file=sys.stderr)
        return 1
    print("includes follow the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
