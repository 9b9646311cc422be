#!/usr/bin/env python3
"""Checks the help pages of one language before they are compiled:
    check_help.py <language folder>     (help/en or help/ru)

- every page of help/topics.txt is linked from the contents (index.htm), and
  every other page links back to it;
- every link to a page names a page of topics.txt, and every page of the folder
  is listed there;
- every word marked bold (<b>...</b>) is a text of the interface in that
  language: an entry of resources/strings_<language>.rc or, for English, of the
  dialog templates (mnemonic "&" and a closing ":" left out). The browser's and
  Windows' own words are marked otherwise (<i>).
Prints each fault and exits 1 when there is one."""
import html
import pathlib
import re
import sys

folder = pathlib.Path(sys.argv[1]).resolve()
language = folder.name
root = pathlib.Path(__file__).resolve().parent.parent
topics = [line.split()[0] for line in (root / "help" / "topics.txt").read_text(encoding="utf-8").splitlines()
          if line.strip() and not line.lstrip().startswith("#")]


def interface_text(text):
    text = text.split("\\t")[0].replace("&", "").strip()
    return text[:-1].rstrip() if text.endswith(":") else text


def quoted(path):
    source = path.read_text(encoding="utf-8")
    return [interface_text(m.group(1).replace('\\"', '"')) for m in re.finditer(r'"((?:[^"\\]|\\.)*)"', source)]


texts = set(quoted(root / "resources" / f"strings_{language}.rc")) | {"OK", "..."}
if language == "en":
    texts |= set(quoted(root / "resources" / "dialogs.rc"))

faults = []
pages = {}
for name in topics:
    path = folder / name
    if path.is_file():
        pages[name] = path.read_text(encoding="utf-8")
    else:
        faults.append(f"{name}: missing")
for path in sorted(folder.glob("*.htm")):
    if path.name not in topics:
        faults.append(f"{path.name}: not listed in help/topics.txt")

contents_links = set(re.findall(r'href="([^"#]+)', pages.get("index.htm", "")))
for name, text in pages.items():
    for target in set(re.findall(r'href="([^"#]+)', text)):
        if target.endswith(".htm") and target not in topics:
            faults.append(f"{name}: links to {target}, which is no page")
    if name != "index.htm":
        if name not in contents_links:
            faults.append(f"{name}: not reachable from the contents")
        if 'href="index.htm"' not in text:
            faults.append(f"{name}: does not link back to the contents")
    for bold in re.findall(r"<b>(.*?)</b>", text, flags=re.S):
        word = interface_text(html.unescape(" ".join(bold.split())))
        if word not in texts:
            faults.append(f"{name}: <b>{bold}</b> is no interface text of this language")

for fault in faults:
    print(f"check_help ({language}): {fault}", file=sys.stderr)
sys.exit(1 if faults else 0)
