#!/usr/bin/env bash
# Keeps the French manual pages in step with the English ones, which are the source:
#   tools/man-fr.sh          after a change to man/*.1: brings man/po/fr.po up to date (a changed
#                            paragraph becomes fuzzy, a new one untranslated) and generates
#                            man/fr/*.1 from it; translate what it names, then run it again.
#   tools/man-fr.sh --check  changes nothing; fails if a string of the English pages has no
#                            current translation, if man/fr/*.1 are not what the catalogue
#                            gives, or if a page does not render cleanly.
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
# po4a makes no page whose strings are not all translated.
shopt -s nullglob
pages=("$work"/fr/*.1)
for page in "${pages[@]}"; do
    warnings=$(groff -k -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || { echo "man-fr: fr/$(basename "$page"): $warnings" >&2; status=1; }
    name=$(basename "$page" .1)
    title=$(sed -n 's/^\.TH //p' "$page")
    [[ ${title//\\-/-} == *"\"$name $version\""* ]] ||
        { echo "man-fr: fr/$(basename "$page"): not \"$name $version\"" >&2; status=1; }
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
