#!/usr/bin/env bash
# Prints the lines of product code and of test code, blank and comment lines
# left out, and their ratio. Product code: the module's source folders (framework,
# module, engine, engine_server, browser, downloads, bar, toolbar, dialogs, settings, store, text,
# resources) and the installer script. The help pages are prose, not code: they
# get a line of their own and stay out of the ratio.
# Test code: everything under tests/ (test programs, support, stand-ins, native
# tests, fuzz targets, their build files). Data files (corpora, icons) do not count.
set -euo pipefail
cd "$(dirname "$0")/.."

# Counts the code lines of the files given on standard input (one path a line).
count() {
    python3 -c '
import re, sys
total = 0
for path in sys.stdin.read().split("\n"):
    if not path:
        continue
    text = open(path, encoding="utf-8", errors="replace").read()
    hash_comments = path.endswith((".py", ".sh", ".txt", ".cmake"))
    if not hash_comments:
        text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    for line in text.split("\n"):
        line = line.strip()
        if not line or line.startswith("//") or (hash_comments and line.startswith("#")):
            continue
        total += 1
print(total)'
}

code_files() {
    git ls-files --cached --others --exclude-standard -- "$@" |
        grep -E '\.(cpp|h|c|idl|rc|rgs|htm|def|js|py|sh|txt|cmake|manifest|nsi|css)$' |
        grep -v '/corpus/' | while read -r f; do [ -f "$f" ] && echo "$f"; done
}

product=$(code_files framework module engine engine_server browser downloads bar toolbar dialogs settings store text resources installer | count)
help=$(code_files help | count)
tests=$(code_files tests | count)
printf '%-10s %8s\n' "product" "$product" "tests" "$tests" "help" "$help"
python3 -c "print('%-10s %8.2f' % ('ratio', $tests / $product))"
