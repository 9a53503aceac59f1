#!/bin/sh
# Usage: check_man_pages.sh PAGE...
# Fails on anything mandoc's lint (warnings and worse) or man --warnings
# says about a page, and on a page without one of the sections every page
# has here. Skips (77) when neither mandoc nor man is installed.
have_mandoc=$(command -v mandoc || true)
have_man=$(command -v man || true)
if [ -z "$have_mandoc" ] && [ -z "$have_man" ]; then
  echo "neither mandoc nor man is installed (Debian: mandoc or man-db): the pages are not checked"
  exit 77
fi
[ -n "$have_mandoc" ] || echo "mandoc is not installed (Debian: mandoc): only man --warnings checks the pages"
[ -n "$have_man" ] || echo "man is not installed (Debian: man-db): only mandoc checks the pages"
status=0
for page in "$@"; do
  name=$(basename "$page")
  if [ -n "$have_mandoc" ]; then
    lint=$(mandoc -T lint -W warning "$page" 2>&1)
    [ -z "$lint" ] || { echo "$lint"; status=1; }
  fi
  if [ -n "$have_man" ]; then
    warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$name: man --warnings: $warnings"; status=1; }
  fi
  # The title names the file: NAME.SECTION has .Dt NAME SECTION.
  title=$(echo "${name%.*}" | tr '[:lower:]' '[:upper:]')
  grep -qx "\.Dt $title ${name##*.}" "$page" || { echo "$name: no .Dt $title ${name##*.}"; status=1; }
  for section in NAME SYNOPSIS DESCRIPTION ENVIRONMENT FILES "EXIT STATUS" EXAMPLES "SEE ALSO"; do
    grep -qx "\.Sh $section" "$page" || { echo "$name: no $section section"; status=1; }
  done
done
[ $status = 0 ] && echo "$# pages: no warnings, every section"
exit $status
