# Sourced by bench/download and bench/sound-update: builds the benchmark
# program, gives the benchmarks a Wine prefix, test CA and virtual display of
# their own under $bench_dir (never the tests' ones), and cleans up on exit.
#
#   bench_setup        sets repo, bench_dir, build, bench_exe, ca_pem,
#                      server_pem, server_key; sources tools/nginx.sh
#   bench_wine ARGS    runs the benchmark program under Wine
#   drive_c NAME       a fresh folder in the prefix's C: drive (Wine reports Z:\
#                      itself as a reparse point, which the updater refuses);
#                      prints its host path
#   windows_path PATH  the Windows form of a host path (C: within the prefix)

repo=$(cd "$(dirname "$0")/.." && pwd)
bench_dir=${BENCH_DIR:-$repo/build-bench}
build=$bench_dir/cmake
bench_exe=$build/bin/orvek-bench.exe
xvfb_pid=""

windows_path() {
    full=$(realpath -m "$1")
    case "$full" in
        "$ORVEK_WINE_PREFIX/drive_c/"*) printf 'C:%s' "${full#"$ORVEK_WINE_PREFIX/drive_c"}" | tr / '\\' ;;
        *) printf 'Z:%s' "$full" | tr / '\\' ;;
    esac
}

drive_c() {
    rm -rf "$ORVEK_WINE_PREFIX/drive_c/$1"
    mkdir -p "$ORVEK_WINE_PREFIX/drive_c/$1"
    printf '%s' "$ORVEK_WINE_PREFIX/drive_c/$1"
}

bench_cleanup() {
    stop_nginx
    WINEPREFIX=$ORVEK_WINE_PREFIX "$wineserver" -k 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    return 0
}

bench_setup() {
    "$repo/scripts/install-deps" curl bc
    mkdir -p "$bench_dir"
    bench_dir=$(cd "$bench_dir" && pwd)
    build=$bench_dir/cmake
    bench_exe=$build/bin/orvek-bench.exe
    echo "== building the benchmark program" >&2
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" >/dev/null
    cmake --build "$build" -j"${BENCH_JOBS:-3}" --target orvek-bench trust-test-ca powershell_standin >/dev/null

    export ORVEK_WINE_PREFIX="$bench_dir/wine-prefix"
    export ORVEK_TEST_STATE_DIR="$bench_dir/state"
    export ORVEK_BUILD_DIR="$build"
    wineserver=$(command -v wineserver64 || command -v wineserver || echo /usr/lib/wine/wineserver64)
    . "$repo/tools/nginx.sh"
    trap bench_cleanup EXIT
    trap 'exit 143' TERM
    trap 'exit 130' INT

    echo "== preparing the benchmarks' Wine prefix and CA" >&2
    "$repo/tools/prepare-test-prefix" "$build" >/dev/null
    ca_pem=$ORVEK_TEST_STATE_DIR/certs/ca.pem
    server_pem=$ORVEK_TEST_STATE_DIR/certs/server.pem
    server_key=$ORVEK_TEST_STATE_DIR/certs/server.key

    # One virtual display for every run, published where tools/wine-run looks.
    number_file=$ORVEK_TEST_STATE_DIR/display.number
    rm -f "$number_file"
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$number_file" </dev/null >/dev/null 2>&1 &
    xvfb_pid=$!
    tries=0
    while [ ! -s "$number_file" ]; do
        tries=$((tries + 1))
        [ "$tries" -le 500 ] && kill -0 "$xvfb_pid" 2>/dev/null || { echo "Xvfb did not start" >&2; exit 1; }
        sleep 0.02
    done
    echo "$(cat "$number_file") $xvfb_pid" >"$ORVEK_TEST_STATE_DIR/display"
    # Keep Wine's server up between runs, so each run starts alike.
    WINEPREFIX=$ORVEK_WINE_PREFIX "$wineserver" -p 600
}

bench_wine() {
    "$repo/tools/wine-run" "$bench_exe" "$@" | tr -d '\r'
}

machine_line() {
    printf '%s, %s cores, load %s; %s; %s\n' "$(lscpu | sed -n 's/^Model name: *//p' | head -1)" "$(nproc)" \
        "$(cut -d' ' -f1-3 /proc/loadavg)" "$( (command -v wine64 >/dev/null && wine64 --version) || /usr/lib/wine/wine64 --version)" "$(nginx -v 2>&1 | sed 's/.*: //')"
}
