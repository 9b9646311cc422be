#!/usr/bin/env python3
"""Checks the folders' includes against the layer table of README.md.

The table (the one whose header has a "May include" column) has one row per
top-level folder: its name in the first column as `name/`, and in the "May
include" column the folders its files may include (`a/`, `b/`, ...), "nothing",
or "anything" for folders that are not layered (tests, tools). A folder may
always include itself. Adding a folder means adding its row.

Fails (exit 1) on
- an `#include "folder/..."` that the including folder's row does not allow;
- two or more folders that include each other, directly or round a cycle;
- a table that itself allows such a cycle;
- a top-level folder of code without a row.
Usage: check_layers.py [root] [--readme README.md]
"""
import argparse
import pathlib
import re
import sys

CODE_SUFFIXES = {".h", ".hpp", ".c", ".cpp", ".rc", ".idl"}
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*"([^"/]+)/[^"]*"', re.M)
FOLDER_CELL = re.compile(r"^`([\w.-]+)/`$")


def read_table(readme: pathlib.Path):
    """{folder: set of allowed folders, or None for 'anything'} from the README."""
    rows, column = {}, None
    for line in readme.read_text(encoding="utf-8").splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")] if line.lstrip().startswith("|") else None
        if cells is None:
            if column is not None and rows:
                break  # the table ended
            column = None
            continue
        if column is None:
            if "May include" in cells:
                column = cells.index("May include")
            continue
        match = FOLDER_CELL.match(cells[0])
        if not match or column >= len(cells):
            continue  # the separator row
        allowed = cells[column]
        if allowed.lower() == "anything":
            rows[match.group(1)] = None
        else:
            rows[match.group(1)] = set(re.findall(r"`([\w.-]+)/`", allowed))
    return rows


def folder_includes(root: pathlib.Path, folder: str):
    """[(included folder, file, line number)] of every file of the folder."""
    found = []
    for path in sorted((root / folder).rglob("*")):
        if path.suffix not in CODE_SUFFIXES or not path.is_file():
            continue
        text = path.read_text(encoding="utf-8", errors="replace")
        for match in INCLUDE.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            found.append((match.group(1), path.relative_to(root), line))
    return found


def find_cycles(graph):
    """The strongly connected components with more than one folder (Tarjan)."""
    index, low, stack, on_stack, cycles, counter = {}, {}, [], set(), [], [0]

    def visit(node):
        index[node] = low[node] = counter[0]
        counter[0] += 1
        stack.append(node)
        on_stack.add(node)
        for nxt in sorted(graph.get(node, ())):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            component = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                component.append(member)
                if member == node:
                    break
            if len(component) > 1:
                cycles.append(sorted(component))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return cycles


def shortest_cycle(graph, component):
    """One shortest cycle through the first folder of a component, as a path
    that starts and ends with that folder."""
    start, members = component[0], set(component)
    previous, queue = {start: None}, [start]
    for node in queue:
        for nxt in sorted(graph.get(node, ())):
            if nxt == start:
                path = [node]  # back from node to start, then reversed
                while previous[path[-1]] is not None:
                    path.append(previous[path[-1]])
                return path[::-1] + [start]
            if nxt in members and nxt not in previous:
                previous[nxt] = node
                queue.append(nxt)
    return [start]


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("root", nargs="?", default=pathlib.Path(__file__).resolve().parent.parent, type=pathlib.Path)
    parser.add_argument("--readme", type=pathlib.Path)
    args = parser.parse_args()
    root = args.root
    table = read_table(args.readme or root / "README.md")
    errors = []
    if not table:
        errors.append("README.md has no layer table (a table with a 'May include' column)")

    for cycle in find_cycles({f: allowed for f, allowed in table.items() if allowed}):
        errors.append("the layer table lets these folders include each other: " + ", ".join(cycle))

    for path in sorted(root.iterdir()):
        if path.is_dir() and not path.name.startswith((".", "build")) and path.name not in table:
            if any(p.suffix in CODE_SUFFIXES for p in path.rglob("*")):
                errors.append(f"{path.name}/ holds code but has no row in the layer table")

    graph, example = {}, {}
    for folder, allowed in sorted(table.items()):
        if allowed is None or not (root / folder).is_dir():
            continue
        for target, path, line in folder_includes(root, folder):
            if target == folder or target not in table:
                continue  # its own files, or a header from outside (generated, third party)
            graph.setdefault(folder, set()).add(target)
            example.setdefault((folder, target), f"{path}:{line}")
            if target not in allowed:
                errors.append(f"{path}:{line}: {folder}/ includes {target}/, which its layer may not")

    for component in find_cycles(graph):
        path = shortest_cycle(graph, component)
        links = [f"{a}/ -> {b}/ ({example[(a, b)]})" for a, b in zip(path, path[1:])]
        errors.append("folders include each other: " + "; ".join(links))

    for error in errors:
        print(error)
    print(f"{len(errors)} layer violation(s)" if errors else "every include keeps to the layer table")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
