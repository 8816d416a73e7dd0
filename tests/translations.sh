#!/bin/bash
# Every translation is finished, holds only what the sources say,
# and is in step with the sources: lupdate run over them into a copy of
# each file changes nothing.
# Usage: translations.sh LUPDATE PROJECT_SOURCE_DIR
set -u
lupdate=$1
cd "$2" || exit 1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
files=(trunk/translations/*.ts)
[ -e "${files[0]}" ] || { echo "no translations under trunk/translations"; exit 1; }
for ts in "${files[@]}"; do
    for kind in unfinished obsolete vanished; do
        if grep -q "type=\"$kind\"" "$ts"; then
            echo "$ts: $kind entries:"
            grep -B2 "type=\"$kind\"" "$ts" | grep "<source>"
            status=1
        fi
    done
    copy=$work/$(basename "$ts")
    cp "$ts" "$copy"
    language=$(sed -n 's/.*<TS [^>]*language="\([^"]*\)".*/\1/p' "$ts")
    if ! "$lupdate" -silent -no-obsolete -locations none -target-language "$language" \
            @trunk/translations/sources.lst -ts "$copy"; then
        echo "$ts: lupdate failed"
        status=1
    elif ! diff -u "$ts" "$copy"; then
        echo "$ts is not in step with the sources (run lupdate as above and translate)"
        status=1
    fi
done
exit $status
