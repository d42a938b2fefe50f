#!/bin/sh
# Runs quarn on the bundled example database: what the file holds
# (quarn info), then the export into out/ as SQLite, CSV, JSON and XLSX,
# with the example's containers and repetitions, and a look at each output.
# Run through `make demo`.
set -eu
build=${1:-build}
example=examples/demo.fmp12
quarn="$build/tools/quarn"
mkdir -p out
rm -rf out/demo.sqlite out/demo-csv out/demo.json out/demo.json_files out/demo.xlsx out/demo.xlsx_files

echo "== quarn info $example"
"$quarn" info "$example"
echo

echo "== quarn export $example out/demo.sqlite   (containers as BLOBs)"
"$quarn" export "$example" out/demo.sqlite
echo "== quarn export $example out/demo-csv      (a folder: one CSV file per table, files/)"
"$quarn" export "$example" out/demo-csv
echo "== quarn export $example out/demo.json     (containers into out/demo.json_files/)"
"$quarn" export "$example" out/demo.json
echo "== quarn export $example out/demo.xlsx     (containers into out/demo.xlsx_files/)"
"$quarn" export "$example" out/demo.xlsx
echo

echo "Wrote:"
for output in out/demo.sqlite out/demo.json out/demo.xlsx out/demo-csv/*.csv; do
    printf '  %-26s %8d bytes\n' "$output" "$(wc -c < "$output")"
done
for folder in out/demo.json_files out/demo.xlsx_files out/demo-csv/files; do
    printf '  %-26s %8d files\n' "$folder/" "$(find "$folder" -type f | wc -l)"
done
echo
echo "Tables and rows (from out/demo.sqlite):"
sqlite3 out/demo.sqlite "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY rowid" |
while IFS= read -r table; do
    rows=$(sqlite3 out/demo.sqlite "SELECT count(*) FROM \"$table\"")
    printf '  %-12s %5d rows\n' "$table" "$rows"
done
echo
echo "Photos kept in SQLite (Products.Photo, BLOB bytes):"
sqlite3 out/demo.sqlite "SELECT '  ' || SKU || '  ' || length(Photo) || ' bytes, starts ' || hex(substr(Photo, 1, 2)) FROM Products LIMIT 3"
echo
echo "A customer with phone numbers in repetitions (out/demo-csv/Customers.csv):"
head -n 2 out/demo-csv/Customers.csv | sed 's/^/  /'
echo
echo "The first product as JSON (out/demo.json):"
sed -n '/"records"/,/^        }/p' out/demo.json | sed -n '/"SKU": "SKU-101"/,/^        }/p' | head -n 20
