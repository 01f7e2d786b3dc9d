#!/usr/bin/env bash
# Keeps the French manual pages in step with the English ones, which are the source:
#   tools/man-fr.sh          after a change to man/*.1: brings man/po/fr.po up to date (a changed
#                            paragraph becomes fuzzy, a new one untranslated) and generates
#                            man/fr/*.1 from it; translate what it names, then run it again.
#   tools/man-fr.sh --check  changes nothing; fails if a string of the English pages has no
#                            current translation, if man/fr/ is not what the catalogue gives,
#                            if a page in either language renders with warnings, if a
#                            command's page puts anything between DESCRIPTION and OPTIONS,
#                            or if a French page hyphenates (groff's patterns are English)
#                            or holds a no-break space that stretches.
# The French pages are committed, so that building and installing need no po4a.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
need po4a gettext groff-base
check=false
[ "${1-}" != --check ] || check=true
version=$(sed -n 's/^project(client VERSION \([^ ]*\).*/\1/p' CMakeLists.txt)

private_dir
work=$temp/man
cp -r man "$work"
# The template and the French pages are made anew each time (po4a would keep a page that looks
# newer than its sources); the template is not kept.
rm -rf "$work/fr"
touch "$work/po/man.pot"
(cd "$work" && po4a -q po4a.cfg)
stats=$(msgfmt --statistics -o /dev/null "$work/po/fr.po" 2>&1)
status=0
case $stats in
*fuzzy* | *untranslated*)
    echo "man-fr: man/po/fr.po: $stats" >&2
    msgattrib --only-fuzzy --no-obsolete --no-wrap "$work/po/fr.po" | sed -n "/^msgid \"\"$/d; s/^msgid /fuzzy: /p" >&2
    msgattrib --untranslated --no-obsolete --no-wrap "$work/po/fr.po" | sed -n "/^msgid \"\"$/d; s/^msgid /untranslated: /p" >&2
    status=1
    ;;
esac
# problem PAGE WHAT: says what is wrong with a page, and fails the run.
problem() {
    echo "man-fr: ${1#"$work/"}: $2" >&2
    status=1
}
# po4a makes no page whose strings are not all translated.
shopt -s nullglob
pages=("$work"/fr/*.[15])
for page in man/*.[15] "${pages[@]}"; do
    warnings=$(groff -k -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || problem "$page" "$warnings"
    # man-pages(7): a command's options come right after its description.
    if [[ $page == *.1 ]] &&
        [ "$(sed -n 's/^\.SH "\{0,1\}\([^"]*\)"\{0,1\}$/\1/p' "$page" |
            sed -n '/^DESCRIPTION$/{n;p;q}')" != OPTIONS ]; then
        problem "$page" "OPTIONS does not follow DESCRIPTION"
    fi
done
for page in "${pages[@]}"; do
    # Each program's page carries its name and version; the stream's page is the client's.
    name=$(basename "$page" .1)
    [[ $page == *.1 ]] || name=client
    title=$(sed -n 's/^\.TH //p' "$page")
    [[ ${title//\\-/-} == *"\"$name $version\""* ]] || problem "$page" "not \"$name $version\""
    # Hyphenation shows as U+2010 at the end of a line, at whatever width the page is read.
    for width in 78 64; do
        ! groff -k -man -Tutf8 -rLL="${width}n" "$page" 2>/dev/null | grep -q $'\xe2\x80\x90$' ||
            problem "$page" "words are hyphenated at $width columns"
    done
    ! grep -n '\\~' "$page" >&2 || problem "$page" "\\~ stretches under justification: write '\\ '"
done
# The catalogue's own date of its template changes with each run: it alone is no change.
undated() { grep -v '^"POT-Creation-Date: ' "$1"; }
if $check; then
    diff -r -u man/fr "$work/fr" >&2 || {
        echo "man-fr: man/fr is not what man/po/fr.po gives: run tools/man-fr.sh" >&2
        status=1
    }
elif ! diff -q <(undated man/po/fr.po) <(undated "$work/po/fr.po") >/dev/null; then
    cp "$work/po/fr.po" man/po/fr.po
fi
if ! $check && [ ${#pages[@]} -gt 0 ]; then
    mkdir -p man/fr
    cp "${pages[@]}" man/fr/
fi
[ "$status" -eq 0 ] && echo "man-fr: the French pages are whole and current"
exit $status
