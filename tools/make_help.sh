#!/usr/bin/env bash
# Compiles the help pages of one language into an HTML Help file:
#   make_help.sh <language folder> <language id> <output .chm>
# The pages (help/<lang>/*.htm, UTF-8) are listed with their context numbers in
# help/topics.txt; tools/check_help.py checks them first. The viewer reads a
# help file's table of contents in the code page of its language, so pages and
# contents are converted to that code page first; the context map ([ALIAS] and
# [MAP]) and the contents are written here from the topics table.
#
# chmcmd 3.2.2 keeps one context number per page, so a page with several numbers
# goes into the file once more for each further number, as <page>-<number>.htm.
#
# It also stores each context's page as "<project folder>/<page>" rather
# than the page's name inside the help file, so it runs with the staging folder
# as its root directory (chroot): the project
# folder is then "/" and the stored names "/<page>", the page's own path in the
# file. Where that is not allowed, it runs in place and the map comes out
# unusable, which the help-file test reports.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source_dir=$1 language=$2 output=$3
topics=$root/help/topics.txt

case $language in
    1033) codepage=CP1252 lcid=0x409 name=English ;;
    1049) codepage=CP1251 lcid=0x419 name=Russian ;;
    *) echo "make_help: no code page known for language $language" >&2; exit 1 ;;
esac
charset=windows-${codepage#CP}

# The pages link to each other and to the contents, and name the interface in
# its own words.
python3 "$root/tools/check_help.py" "$source_dir"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

pages=()
while read -r page _; do
    pages+=("$page")
done < <(grep -v '^[[:space:]]*\(#\|$\)' "$topics")

for page in "${pages[@]}"; do
    if [ ! -f "$source_dir/$page" ]; then
        echo "make_help: $source_dir/$page is missing" >&2
        exit 1
    fi
    sed "s/charset=utf-8/charset=$charset/" "$source_dir/$page" | iconv -f UTF-8 -t "$codepage" > "$stage/$page"
done
cp "$root/help/help.css" "$stage/help.css"

title_of() { sed -n 's:.*<title>\(.*\)</title>.*:\1:p' "$source_dir/$1" | head -n 1; }

{
    echo '<html><head><meta http-equiv="Content-Type" content="text/html; charset='"$charset"'"></head><body>'
    echo '<object type="text/site properties"><param name="Window Styles" value="0x800025"></object>'
    echo '<ul>'
    for page in "${pages[@]}"; do
        printf '<li><object type="text/sitemap"><param name="Name" value="%s"><param name="Local" value="%s"></object>\n' \
            "$(title_of "$page")" "$page"
    done
    echo '</ul></body></html>'
} | iconv -f UTF-8 -t "$codepage" > "$stage/toc.hhc"

# The index: every page under its title, and under each of its section
# headings, in alphabetical order.
{
    echo '<html><head><meta http-equiv="Content-Type" content="text/html; charset='"$charset"'"></head><body><ul>'
    for page in "${pages[@]}"; do
        { title_of "$page"; sed -n 's:.*<h2>\(.*\)</h2>.*:\1:p' "$source_dir/$page"; } | sed 's/<[^>]*>//g' |
            while IFS= read -r keyword; do printf '%s\t%s\n' "$keyword" "$page"; done
    done | LC_ALL=C.UTF-8 sort -f -u | while IFS=$'\t' read -r keyword page; do
        printf '<li><object type="text/sitemap"><param name="Name" value="%s"><param name="Local" value="%s"></object>\n' \
            "$keyword" "$page"
    done
    echo '</ul></body></html>'
} | iconv -f UTF-8 -t "$codepage" > "$stage/index.hhk"

# The context map: the page itself for its first number, a copy for each further one.
copies=() aliases=()
while read -r page first others; do
    [ -n "$first" ] || continue  # a page of the contents only
    aliases+=("$(printf 'IDH_%d=%s' "$first" "$page")")
    for number in $others; do
        copy=${page%.htm}-$((number)).htm
        cp "$stage/$page" "$stage/$copy"
        copies+=("$copy")
        aliases+=("$(printf 'IDH_%d=%s' "$number" "$copy")")
    done
done < <(grep -v '^[[:space:]]*\(#\|$\)' "$topics")

chm=$(basename "$output")
{
    printf '[OPTIONS]\nCompatibility=1.1 or later\nCompiled file=%s\nContents file=toc.hhc\nIndex file=index.hhk\n' "$chm"
    printf 'Default topic=%s\nLanguage=%s %s\nTitle=%s\n\n' "${pages[0]}" "$lcid" "$name" "$(title_of "${pages[0]}")"
    printf '[FILES]\n'
    printf '%s\n' "${pages[@]}" "${copies[@]}" help.css index.hhk
    printf '\n[ALIAS]\n'
    printf '%s\n' "${aliases[@]}"
    printf '\n[MAP]\n'
    grep -v '^[[:space:]]*\(#\|$\)' "$topics" | while read -r page numbers; do
        for number in $numbers; do printf '#define IDH_%d %d\n' "$number" "$number"; done
    done
} | iconv -f UTF-8 -t "$codepage" > "$stage/tdm.hhp"

# The compiler and the libraries it loads, inside the staging folder, for chroot
# (a root user's own, or one in a user namespace of an ordinary user).
compiler=$(readlink -f "$(command -v chmcmd)")
mkdir -p "$stage/bin"
cp "$compiler" "$stage/bin/chmcmd"
# Its thread support opens libdl and libpthread at run time, beside libc.
libraries=$(ldd "$compiler" | grep -o '/[^ ]*')
libc_folder=$(dirname "$(grep '/libc\.so' <<<"$libraries")")
for library in $libraries "$libc_folder/libdl.so.2" "$libc_folder/libpthread.so.0"; do
    mkdir -p "$stage$(dirname "$library")"
    cp -L "$library" "$stage$library"
done
in_root=(chroot "$stage" /bin/chmcmd --no-html-scan /tdm.hhp)
if [ "$(id -u)" != 0 ]; then
    in_root=(unshare -r "${in_root[@]}")
fi
if ! "${in_root[@]}" > "$stage/log" 2>&1; then
    cat "$stage/log" >&2
    echo "make_help: chmcmd cannot run in its own root here; the context map will name staging paths" >&2
    (cd "$stage" && "$compiler" --no-html-scan tdm.hhp) > "$stage/log" 2>&1 || { cat "$stage/log" >&2; exit 1; }
fi
if [ ! -s "$stage/$chm" ]; then
    cat "$stage/log" >&2
    exit 1
fi
mkdir -p "$(dirname "$output")"
cp "$stage/$chm" "$output"
