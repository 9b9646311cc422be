#!/usr/bin/env python3
"""Checks that every COM method of the module is a boundary.

Every STDMETHODIMP / STDMETHODIMP_(type) method defined in the module's own
folders must be a function-try-block closed by TDM_COM_CATCH, so that no
exception crosses into the caller (the browser, a script host, oleaut32's
Invoke). The framework's templates are checked by reading: their methods do not
throw. Prints each offending definition and exits 1 when there is one.
"""
import pathlib
import re
import sys

FOLDERS = ["module", "engine", "engine_server", "browser", "downloads", "bar", "toolbar", "dialogs", "settings", "store", "text"]
# A method definition: the macro, a (qualified) name, the parameter list, then
# the start of the body.
DEFINITION = re.compile(
    r"STDMETHODIMP(?:_\([^)]*\))?\s+([\w:]+)\s*\(([^;{}]*?)\)\s*(?:override\s*)?(?:noexcept\s*)?(try\b|\{)",
    re.S)


def main(root: pathlib.Path) -> int:
    missing = []
    for folder in FOLDERS:
        for path in sorted((root / folder).glob("*.[ch]*")):
            text = re.sub(r"//[^\n]*", "", path.read_text(encoding="utf-8", errors="replace"))
            for match in DEFINITION.finditer(text):
                body_start = match.end()
                if match.group(3) == "{":
                    line = text.count("\n", 0, match.start()) + 1
                    missing.append(f"{path.relative_to(root)}:{line}: {match.group(1)} is not a function-try-block")
                    continue
                # The try block must be closed by the module's handler.
                depth, i = 0, text.index("{", body_start)
                while True:
                    if text[i] == "{":
                        depth += 1
                    elif text[i] == "}":
                        depth -= 1
                        if depth == 0:
                            break
                    i += 1
                if not text[i + 1:].lstrip().startswith("TDM_COM_CATCH"):
                    line = text.count("\n", 0, match.start()) + 1
                    missing.append(f"{path.relative_to(root)}:{line}: {match.group(1)} does not end in TDM_COM_CATCH")
    for entry in missing:
        print(entry)
    print(f"{len(missing)} COM method(s) without the boundary" if missing else "every COM method is a boundary")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)))
