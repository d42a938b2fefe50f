#!/bin/sh
# Converts the bundled example database with the three converters into out/
# and says what each one wrote. Run through `make demo`.
set -eu
build=${1:-build}
example=examples/demo.fmp12
tools="$build/tools"
mkdir -p out
rm -f out/demo.sqlite out/demo.json out/demo.xlsx

echo "== Structure of $example (first lines of quarn-dump)"
"$tools/quarn-dump" "$example" | head -n 24
echo "..."
echo

echo "== quarn-to-sqlite $example out/demo.sqlite"
"$tools/quarn-to-sqlite" "$example" out/demo.sqlite
echo "== quarn-to-json $example out/demo.json"
"$tools/quarn-to-json" "$example" out/demo.json
echo "== quarn-to-xlsx $example out/demo.xlsx"
"$tools/quarn-to-xlsx" "$example" out/demo.xlsx
echo

echo "Wrote:"
ls -l out/demo.sqlite out/demo.json out/demo.xlsx | awk '{ printf "  %-18s %8d bytes\n", $NF, $5 }'
echo
echo "Tables and rows (from out/demo.sqlite):"
sqlite3 out/demo.sqlite "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY rowid" |
while IFS= read -r table; do
    rows=$(sqlite3 out/demo.sqlite "SELECT count(*) FROM \"$table\"")
    printf '  %-12s %5d rows\n' "$table" "$rows"
done
echo
echo "First customer as JSON:"
sed -n '/"values"/,/}/p' out/demo.json | head -n 9
