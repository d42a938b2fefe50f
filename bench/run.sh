#!/bin/sh
# run.sh: the benchmark run behind `make bench`. For each benchmark file
# (made once by make_bench_data, kept in the data folder) it measures the
# read path and the three converters next to their baselines, each under the
# runner `measure` (wall time, peak resident memory), and prints one table.
# A larger file (big) is then converted by each program under an address
# space limit of 512 MB, to show that the file's size does not matter.
#
#     sh bench/run.sh BUILD_DIR
#
# Settings (environment; make passes its variables of the same names):
#   BENCH_SIZE_MB        size of the generation-12 files, default 1024
#   BENCH_EARLY_SIZE_MB  size of the earlier-generation file, default
#                        BENCH_SIZE_MB * 200 / 1024
#   BENCH_TABLES         tables of the wide file, default 500
#   BENCH_SEED           seed of the data set, default 1
#   BENCH_BIG_SIZE_MB    size of the big generation-12 file, default 2048
#   BENCH_FILES          which files: any of "gen12 wide early big" (default all)
#   BENCH_JOBS           which jobs: any of "read sqlite json xlsx postgres"
#                        (default all);
#                        sqlite also runs the sqlite3 shell's CSV import and
#                        quarn export --to sqlite and --to csv, xlsx also
#                        quarn export --to xlsx (not on the big file). On the big file
#                        each job runs our programs alone (no baselines), each
#                        under prlimit --as=536870912; read also runs quarn info,
#                        and postgres is left out there. postgres loads a
#                        throw-away server (bench/postgres.sh), and says it
#                        was skipped where none can be started
#   BENCH_TIMEOUT        seconds before a job is stopped, default 3600
#   BENCH_DATA           where the files are kept, default bench/data
#   BENCH_SCRATCH        where outputs go during a job (removed after each),
#                        default BUILD_DIR/bench-scratch
#
# Ratios: the read path against bench_fread (reading the file into memory),
# each converter against its baseline (the same output written straight from
# the generator's rows), quarn export (to SQLite and to CSV) against
# quarn-to-sqlite on the same file, quarn export to XLSX against
# baseline_xlsx; the SQLite jobs also against the sqlite3
# shell importing the same rows from CSV files (`.import --csv`, with the two
# pragmas quarn-to-sqlite sets; the files are written from the generator's
# rows by baseline_csv before the job, outside its time). The memory limit of a job is 64 MB for
# a file of up to 1 GB, and 1 % of the size beyond that on top: the library
# keeps no payload, only a small record per sector.
set -eu

BUILD=${1:-build-bench}
SIZE=${BENCH_SIZE_MB:-1024}
EARLY_SIZE=${BENCH_EARLY_SIZE_MB:-$(( SIZE * 200 / 1024 ))}
[ "$EARLY_SIZE" -ge 1 ] || EARLY_SIZE=1
TABLES=${BENCH_TABLES:-500}
SEED=${BENCH_SEED:-1}
BIG_SIZE=${BENCH_BIG_SIZE_MB:-2048}
FILES=${BENCH_FILES:-gen12 wide early big}
JOBS=${BENCH_JOBS:-read sqlite json xlsx postgres}
TIMEOUT=${BENCH_TIMEOUT:-3600}
DATA=${BENCH_DATA:-bench/data}
SCRATCH=${BENCH_SCRATCH:-$BUILD/bench-scratch}
CSV_DIR=$BUILD/bench-csv
# the address space of each program on the big file
BIG_LIMIT=536870912
# bump when rows.cpp changes what it generates, so old files are not reused
DATA_VERSION=2

BIN=$BUILD/bench
TOOLS=$BUILD/tools
RESULTS=$BUILD/bench-results.tsv
REPORT=$BUILD/bench-report.txt

for program in "$BIN/measure" "$BIN/make_bench_data" "$BIN/bench_fread" "$BIN/bench_read_path" \
    "$BIN/baseline_csv" "$TOOLS/quarn-to-sqlite" "$TOOLS/quarn-to-json" "$TOOLS/quarn-to-xlsx" "$TOOLS/quarn"; do
    [ -x "$program" ] || { echo "run.sh: $program is missing; build with -DQUARN_BUILD_BENCH=ON" >&2; exit 1; }
done
for program in sqlite3 prlimit; do
    command -v "$program" > /dev/null || { echo "run.sh: $program is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
mkdir -p "$DATA"
: > "$RESULTS"

load() { cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo "?"; }
LOAD_BEFORE=$(load)

# file_for LAYOUT: path of the benchmark file of that layout
file_for() {
    case $1 in
    gen12) echo "$DATA/bench-gen12-${SIZE}mb-s$SEED-v$DATA_VERSION.fmp12" ;;
    wide)  echo "$DATA/bench-wide-${SIZE}mb-t$TABLES-s$SEED-v$DATA_VERSION.fmp12" ;;
    early) echo "$DATA/bench-early-${EARLY_SIZE}mb-s$SEED-v$DATA_VERSION.fp5" ;;
    big)   echo "$DATA/bench-gen12-${BIG_SIZE}mb-s$SEED-v$DATA_VERSION.fmp12" ;;
    esac
}

# data_args LAYOUT: the generator's and the baselines' arguments
data_args() {
    case $1 in
    early) echo "--layout early --size-mb $EARLY_SIZE --seed $SEED" ;;
    big)   echo "--layout gen12 --size-mb $BIG_SIZE --seed $SEED" ;;
    *)     echo "--layout $1 --size-mb $SIZE --seed $SEED --tables $TABLES" ;;
    esac
}

# run_job LAYOUT FILE JOB OUTPUT COMMAND...: measures one job, its output
# going to OUTPUT in a fresh scratch folder; appends a line to RESULTS:
# layout, job, seconds, peak RSS kB, status, output bytes
run_job() {
    layout=$1; file=$2; job=$3; output=$4; shift 4
    rm -rf "$SCRATCH"
    mkdir -p "$SCRATCH"
    printf '  %-16s ' "$job" >&2
    line=$("$BIN/measure" --timeout "$TIMEOUT" --stdout "$SCRATCH/stdout" --stderr "$SCRATCH/stderr" -- "$@")
    seconds=$(echo "$line" | sed -n 's/.*seconds=\([^ ]*\).*/\1/p')
    rss=$(echo "$line" | sed -n 's/.*maxrss_kb=\([^ ]*\).*/\1/p')
    status=$(echo "$line" | sed -n 's/.*status=\([^ ]*\).*/\1/p')
    out_bytes=0
    if [ "$output" != - ] && [ -f "$SCRATCH/$output" ]; then
        out_bytes=$(wc -c < "$SCRATCH/$output" | tr -d ' ')
    fi
    totals=$(grep '^tables=' "$SCRATCH/stdout" 2>/dev/null || true)
    printf '%s s, %s kB%s\n' "$seconds" "$rss" "$( [ "$status" = 0 ] || echo ", status $status")" >&2
    if [ "$status" != 0 ]; then
        sed -n '1,5p' "$SCRATCH/stderr" | sed 's/^/    /' >&2
    fi
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$layout" "$job" "$seconds" "$rss" "$status" "$out_bytes" "$totals" >> "$RESULTS"
    rm -rf "$SCRATCH"
}

# ---- the postgres job ------------------------------------------------------
# quarn export FILE postgresql://... into a throw-away server, against psql's
# \copy of the same rows (the CSV of quarn export --to csv, into tables of
# text columns named by the CSV header) into the same server; rows per
# second of both and their ratio go to PG_NOTES, printed under the table.
. "$(dirname "$0")/postgres.sh"
PG_NOTES=$BUILD/bench-postgres.txt
: > "$PG_NOTES"
postgres_job() {
    layout=$1; file=$2
    if ! command -v psql > /dev/null 2>&1; then
        echo "  postgres         skipped: no psql" >&2
        echo "$layout postgres: skipped (no psql)" >> "$PG_NOTES"
        return 0
    fi
    if ! pg_start; then
        echo "  postgres         skipped: $PG_WHY" >&2
        echo "$layout postgres: skipped ($PG_WHY)" >> "$PG_NOTES"
        return 0
    fi
    conn="host=$PG_DIR port=$PG_PORT user=$PG_USER dbname=bench"
    uri="postgresql://$PG_USER@$(echo "$PG_DIR" | sed 's|/|%2F|g'):$PG_PORT/bench"
    psql -X -q -v ON_ERROR_STOP=1 -d "$PG_CONNINFO" -c "CREATE DATABASE bench"
    csv=$PG_DIR/csv
    "$TOOLS/quarn" export -q "$file" "$csv" --to csv
    script=$PG_DIR/copy.sql
    echo "CREATE SCHEMA baseline;" > "$script"
    for f in "$csv"/*.csv; do
        t=$(basename "$f" .csv)
        columns=$(head -n 1 "$f" | tr -d '\r' | awk -F, '{ for (i = 1; i <= NF; i++) { gsub(/"/, "", $i);
            printf "%s\"%s\" text", (i > 1 ? ", " : ""), $i } }')
        printf '%s\n' "CREATE TABLE baseline.\"$t\" ($columns);" >> "$script"
        # printf, not echo: dash's echo takes the \c of \copy for "stop here"
        printf '\\copy baseline."%s" from '"'"'%s'"'"' with (format csv, header true)\n' "$t" "$f" >> "$script"
    done
    run_job "$layout" "$file" "baseline_psql" - psql -X -q -v ON_ERROR_STOP=1 -d "$conn" -f "$script"
    run_job "$layout" "$file" "export postgres" - "$TOOLS/quarn" export -q "$file" "$uri"
    rows=0
    for f in "$csv"/*.csv; do
        t=$(basename "$f" .csv) # a table name may hold spaces
        n=$(psql -X -At -d "$conn" -c "SELECT count(*) FROM baseline.\"$t\"")
        rows=$((rows + n))
    done
    tail -n 2 "$RESULTS" | awk -F '\t' -v rows="$rows" -v layout="$layout" '
        { secs[NR] = $3; status[NR] = $5 }
        END {
            if (status[1] != 0 || status[2] != 0 || secs[1] <= 0 || secs[2] <= 0) {
                printf "%s postgres: %d rows; a job failed\n", layout, rows; exit }
            printf "%s postgres: %d rows; psql \\copy of the CSV %.0f rows/s, quarn export %.0f rows/s (%.2fx the time of psql)\n",
                layout, rows, rows / secs[1], rows / secs[2], secs[2] / secs[1] }' >> "$PG_NOTES"
    pg_stop
}

for layout in $FILES; do
    file=$(file_for "$layout")
    [ -n "$file" ] || { echo "run.sh: unknown file kind $layout" >&2; exit 1; }
    if [ ! -f "$file" ]; then
        echo "Generating $file" >&2
        # shellcheck disable=SC2046
        "$BIN/make_bench_data" $(data_args "$layout") "$file"
    fi
    size_bytes=$(wc -c < "$file" | tr -d ' ')
    echo "$layout: $file ($size_bytes bytes)" >&2
    printf '%s\t#file\t%s\t%s\n' "$layout" "$file" "$size_bytes" >> "$RESULTS"
    cat "$file" > /dev/null # every job starts with the file in the page cache

    if [ "$layout" = big ]; then
        # our programs alone, each in 512 MB of address space
        limited="prlimit --as=$BIG_LIMIT --"
        for job in $JOBS; do
            case $job in
            read)
                run_job big "$file" "read path" - $limited "$BIN/bench_read_path" "$file"
                run_job big "$file" "quarn info" - $limited "$TOOLS/quarn" info "$file" ;;
            sqlite)
                run_job big "$file" quarn-to-sqlite out.sqlite $limited "$TOOLS/quarn-to-sqlite" "$file" "$SCRATCH/out.sqlite"
                run_job big "$file" "export sqlite" out.sqlite $limited "$TOOLS/quarn" export -q "$file" "$SCRATCH/out.sqlite"
                run_job big "$file" "export csv" - $limited "$TOOLS/quarn" export -q "$file" "$SCRATCH/out" --to csv ;;
            json)
                run_job big "$file" quarn-to-json out.json $limited "$TOOLS/quarn-to-json" "$file" "$SCRATCH/out.json" ;;
            xlsx)
                run_job big "$file" quarn-to-xlsx out.xlsx $limited "$TOOLS/quarn-to-xlsx" "$file" "$SCRATCH/out.xlsx" ;;
            postgres)
                # the load's memory is mostly the server's, which a limit on
                # quarn does not measure: the smaller files show the load
                echo "  postgres         left out on the big file" >&2 ;;
            *)
                echo "run.sh: unknown job $job" >&2; exit 1 ;;
            esac
        done
        continue
    fi

    # shellcheck disable=SC2046
    for job in $JOBS; do
        case $job in
        read)
            run_job "$layout" "$file" fread - "$BIN/bench_fread" "$file"
            run_job "$layout" "$file" "read path" - "$BIN/bench_read_path" "$file" ;;
        sqlite)
            run_job "$layout" "$file" baseline_sqlite out.sqlite "$BIN/baseline_sqlite" $(data_args "$layout") "$SCRATCH/out.sqlite"
            rm -rf "$CSV_DIR"
            "$BIN/baseline_csv" $(data_args "$layout") "$CSV_DIR" > /dev/null
            run_job "$layout" "$file" "sqlite3 .import" out.sqlite sqlite3 "$SCRATCH/out.sqlite" ".read $CSV_DIR/import.sql"
            rm -rf "$CSV_DIR"
            run_job "$layout" "$file" quarn-to-sqlite out.sqlite "$TOOLS/quarn-to-sqlite" "$file" "$SCRATCH/out.sqlite"
            run_job "$layout" "$file" "export sqlite" out.sqlite "$TOOLS/quarn" export -q "$file" "$SCRATCH/out.sqlite"
            run_job "$layout" "$file" "export csv" - "$TOOLS/quarn" export -q "$file" "$SCRATCH/out" --to csv ;;
        json)
            run_job "$layout" "$file" baseline_json out.json "$BIN/baseline_json" $(data_args "$layout") "$SCRATCH/out.json"
            run_job "$layout" "$file" quarn-to-json out.json "$TOOLS/quarn-to-json" "$file" "$SCRATCH/out.json" ;;
        postgres)
            postgres_job "$layout" "$file" ;;
        xlsx)
            run_job "$layout" "$file" baseline_xlsx out.xlsx "$BIN/baseline_xlsx" $(data_args "$layout") "$SCRATCH/out.xlsx"
            run_job "$layout" "$file" quarn-to-xlsx out.xlsx "$TOOLS/quarn-to-xlsx" "$file" "$SCRATCH/out.xlsx"
            run_job "$layout" "$file" "export xlsx" out.xlsx "$TOOLS/quarn" export -q "$file" "$SCRATCH/out.xlsx" ;;
        *)
            echo "run.sh: unknown job $job" >&2; exit 1 ;;
        esac
    done
done

LOAD_AFTER=$(load)

# The table. Each of our jobs is compared with its reference job on the same
# file (base[]), the SQLite jobs also with the sqlite3 shell's import; the
# read path's totals with those of any baseline of its file.
awk -F '\t' -v load_before="$LOAD_BEFORE" -v load_after="$LOAD_AFTER" -v cores="$(nproc 2>/dev/null || echo '?')" '
function mb(b) { return b / 1048576 }
function limit_mb(b) { return 64 + (mb(b) > 1024 ? 0.01 * (mb(b) - 1024) : 0) }
function ratio(i, ref,   j) {
    j = done[layout[i], ref]
    if (j == "" || secs[j] <= 0) return "-"
    return sprintf("%.2fx %s", secs[i] / secs[j], short[ref])
}
BEGIN {
    base["read path"] = "fread"; base["quarn-to-sqlite"] = "baseline_sqlite"
    base["export sqlite"] = "quarn-to-sqlite"; base["export csv"] = "quarn-to-sqlite"
    base["quarn-to-json"] = "baseline_json"; base["quarn-to-xlsx"] = "baseline_xlsx"
    base["export xlsx"] = "baseline_xlsx"
    short["fread"] = "fread"; short["baseline_sqlite"] = "base"; short["baseline_json"] = "base"
    short["baseline_xlsx"] = "base"; short["quarn-to-sqlite"] = "q-to-sqlite"; short["sqlite3 .import"] = "sqlite3"
    shell["quarn-to-sqlite"] = 1; shell["export sqlite"] = 1; shell["export csv"] = 1
}
$2 == "#file" { file[$1] = $3; size[$1] = $4; order[++files] = $1; next }
{
    n = ++rows; layout[n] = $1; job[n] = $2; secs[n] = $3; rss[n] = $4; status[n] = $5
    out[n] = $6; totals[n] = $7
    if ($2 == "read path" && $7 != "") read_totals[$1] = $7
    else if ($2 ~ /^baseline/ && $7 != "") gen_totals[$1] = $7
}
END {
    printf "Machine: %s cores; load average %s before, %s after.\n", cores, load_before, load_after
    for (f = 1; f <= files; f++) {
        l = order[f]
        printf "%-6s %s: %.1f MB, memory limit %.1f MB%s\n", l, file[l], mb(size[l]), limit_mb(size[l]), \
            (l == "big" ? ", each program under prlimit --as=512 MB" : "")
    }
    printf "\n%-6s %-16s %9s %9s %9s %9s %18s %12s %12s\n", "file", "job", "seconds", "MB/s", "RSS MB", "out MB", "vs baseline", "vs sqlite3", "RSS/limit"
    for (i = 1; i <= rows; i++) {
        l = layout[i]; limit = limit_mb(size[l])
        ours = job[i] !~ /^baseline/ && job[i] != "fread" && job[i] != "sqlite3 .import"
        if (status[i] != 0) {
            printf "%-6s %-16s %9s %9s %9.1f %9s %18s %12s %12s\n", l, job[i], \
                (status[i] == 124 ? "TIMEOUT" : "FAILED(" status[i] ")"), "-", rss[i] / 1024, "-", "-", "-", "-"
            continue
        }
        done[l, job[i]] = i
        vs = "-"; vs_shell = "-"; check = "-"
        if (job[i] in base) vs = ratio(i, base[job[i]])
        if (job[i] in shell) { vs_shell = ratio(i, "sqlite3 .import"); sub(/ sqlite3$/, "", vs_shell) }
        if (ours) {
            r = (rss[i] / 1024) / limit
            check = sprintf("%.2f %s", r, r <= 1 ? "ok" : "OVER")
        }
        printf "%-6s %-16s %9.3f %9.1f %9.1f %9s %18s %12s %12s\n", l, job[i], secs[i], \
            (secs[i] > 0 ? mb(size[l]) / secs[i] : 0), rss[i] / 1024, \
            (out[i] > 0 ? sprintf("%.1f", mb(out[i])) : "-"), vs, vs_shell, check
    }
    print ""
    for (f = 1; f <= files; f++) {
        l = order[f]
        if (!(l in read_totals) || !(l in gen_totals)) continue
        if (read_totals[l] == gen_totals[l])
            printf "%-6s read path delivered what the generator made: %s\n", l, read_totals[l]
        else
            printf "%-6s MISMATCH: read path %s, generator %s\n", l, read_totals[l], gen_totals[l]
    }
}' "$RESULTS" | tee "$REPORT"
[ -s "$PG_NOTES" ] && tee -a "$REPORT" < "$PG_NOTES"
exit 0
