#!/usr/bin/env bash
# Codec benchmark: generates a 64-frame 256x256x16 NM image and a CT series of 16 slices of
# 512x512x16, then for every compressed syntax velmar's codec map names times velmar's encoder
# and decoder against DCMTK (dcmcjpls/dcmdjpls, dcmcjpeg/dcmdjpeg, dcmcrle/dcmdrle) and GDCM
# (gdcmconv) on the same files in the same run, and prints frames per second, the compression
# ratio and velmar's speed over the faster peer's. A syntax whose codec library is absent, or
# that a peer lacks, is skipped with a line. Usage: bench/codecs.sh [BUILD_DIR] (default build);
# BENCH_ONLY="UID UID..." times those syntaxes only, BENCH_RUNS the runs of which the best counts.
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
velmar="$build/velmar"
export VELMAR_CODEC_DIR="${VELMAR_CODEC_DIR:-$build/codecs}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== generating the images in $work"
python3 "$here/make_images.py" "$work/in" || exit 1

# Peers per syntax: encoder commands and decoder commands, separated by "|"; empty: none.
peers_for() {
    case "$1" in
    1.2.840.10008.1.2.5) echo "dcmcrle;gdcmconv --rle|dcmdrle;gdcmconv --raw" ;;
    1.2.840.10008.1.2.4.57) echo "dcmcjpeg +el|dcmdjpeg;gdcmconv --raw" ;;
    1.2.840.10008.1.2.4.70) echo "dcmcjpeg +e1;gdcmconv --jpeg|dcmdjpeg;gdcmconv --raw" ;;
    1.2.840.10008.1.2.4.80) echo "dcmcjpls;gdcmconv --jpegls|dcmdjpls;gdcmconv --raw" ;;
    1.2.840.10008.1.2.4.81) echo "dcmcjpls +en|dcmdjpls;gdcmconv --raw" ;;
    1.2.840.10008.1.2.4.90) echo "gdcmconv --j2k|gdcmconv --raw" ;;
    1.2.840.10008.1.2.4.91) echo "gdcmconv --j2k --lossy -r 10|gdcmconv --raw" ;;
    *) echo "|" ;;
    esac
}
lossless() { case "$1" in *.4.81 | *.4.91 | *.4.50 | *.4.51) return 1 ;; esac; return 0; }

now() { date +%s.%N; }
# Runs `tool args... IN OUT` over every file of set $1 from directory $2 into $3, $runs times;
# prints the best time in seconds, or "fail". The best of several runs is the one least
# disturbed by other work on the machine.
runs=${BENCH_RUNS:-3}
over_set() {
    local set=$1 from=$2 to=$3
    shift 3
    mkdir -p "$to"
    local start end f run best=""
    for ((run = 0; run < runs; ++run)); do
        start=$(now)
        for f in "$from"/*.dcm; do
            "$@" "$f" "$to/$(basename "$f")" >/dev/null 2>&1 || { echo fail; return; }
        done
        end=$(now)
        best=$(awk -v a="$start" -v b="$end" -v best="$best" 'BEGIN { t = b - a; if (best != "" && best < t) t = best; printf "%.3f", t }')
    done
    echo "$best"
}
# Whether every file of directory $2 ends in the same $3 pixel bytes as its namesake in $1.
same_pixels() {
    local f
    for f in "$1"/*.dcm; do
        cmp -s <(tail -c "$3" "$f") <(tail -c "$3" "$2/$(basename "$f")") || return 1
    done
}
fps() { awk -v n="$1" -v s="$2" 'BEGIN { if (s == "fail" || s <= 0) print "fail"; else printf "%.1f", n / s }'; }
bytes() { cat "$1"/*.dcm | wc -c; }

# One line: label, then tool=fps pairs, then velmar's fps over the faster peer's.
report() {
    local label=$1 frames=$2 ours=$3
    shift 3
    local line best=0 name seconds rate
    line=$(printf '  %-7s velmar %8s fps' "$label" "$(fps "$frames" "$ours")")
    while [ $# -ge 2 ]; do
        name=$1 seconds=$2
        shift 2
        rate=$(fps "$frames" "$seconds")
        line="$line | $name $rate fps"
        [ "$rate" != fail ] && best=$(awk -v a="$best" -v b="$rate" 'BEGIN { print (b > a ? b : a) }')
    done
    rate=$(fps "$frames" "$ours")
    if [ "$best" != 0 ] && [ "$rate" != fail ]; then
        line="$line | velmar/faster peer $(awk -v a="$rate" -v b="$best" 'BEGIN { printf "%.2f", a / b }')"
    fi
    echo "$line"
}

run_syntax() {
    local uid=$1 name=$2 set=$3 frames=$4 src=$5 pixel_bytes=$6
    local out="$work/$set/$name"
    local peers encoders decoders cmd seconds args=()
    peers=$(peers_for "$uid")
    encoders=${peers%%|*}
    decoders=${peers#*|}
    echo "$set $uid ($name):"
    # velmar: encode from native, decode back to native. Where velmar only decodes the syntax
    # (JPEG Lossless Process 14), every decoder reads the first peer coder's files instead.
    local encode decode coded="$out/velmar"
    encode=$(over_set "$set" "$src" "$out/velmar" "$velmar" convert --syntax "$uid")
    if [ "$encode" = fail ]; then
        local first=${encoders%%;*}
        if [ -z "$first" ] || ! command -v "${first%% *}" >/dev/null; then
            echo "  skipped: velmar cannot code this image in $uid"
            return
        fi
        coded="$out/peer_coded"
        # shellcheck disable=SC2086
        [ "$(runs=1 over_set "$set" "$src" "$coded" $first)" = fail ] && { echo "  skipped: $first failed"; return; }
        echo "  velmar decodes only: decoding the files of $first"
    fi
    decode=$(over_set "$set" "$coded" "$out/velmar_raw" "$velmar" convert --syntax explicit)
    if lossless "$uid" && ! same_pixels "$src" "$out/velmar_raw" "$pixel_bytes"; then
        echo "  WARNING: velmar's round trip differs from the source"
    fi
    echo "  size    source/coded $(awk -v a="$(bytes "$src")" -v b="$(bytes "$coded")" 'BEGIN { printf "%.2f", a / b }')"
    IFS=';' read -r -a list <<<"$encoders"
    args=()
    for cmd in "${list[@]}"; do
        [ -z "$cmd" ] && continue
        command -v "${cmd%% *}" >/dev/null || { echo "  (${cmd%% *} is not installed)"; continue; }
        # shellcheck disable=SC2086
        seconds=$(over_set "$set" "$src" "$out/peer_${cmd%% *}" $cmd)
        args+=("$cmd" "$seconds")
    done
    [ "$encode" != fail ] && report encode "$frames" "$encode" "${args[@]}"
    IFS=';' read -r -a list <<<"$decoders"
    args=()
    for cmd in "${list[@]}"; do
        [ -z "$cmd" ] && continue
        command -v "${cmd%% *}" >/dev/null || { echo "  (${cmd%% *} is not installed)"; continue; }
        # shellcheck disable=SC2086
        seconds=$(over_set "$set" "$coded" "$out/peerraw_${cmd%% *}" $cmd)
        args+=("$cmd" "$seconds")
    done
    report decode "$frames" "$decode" "${args[@]}"
}

mkdir -p "$work/sets/nm"
mv "$work/in/nm.dcm" "$work/sets/nm/"
# The codec map entries: UID, name, library, note and, when the library is absent, a mark.
"$velmar" codecs | awk '/^Codec map entries/ { on = 1; next } on && NF >= 4 { print $1, $2, $3, ($0 ~ /\[missing/ ? "missing" : "ok") }' >"$work/map"
while read -r uid name library state; do
    [ "$library" = builtin ] && continue
    if [ -n "${BENCH_ONLY:-}" ] && [[ " $BENCH_ONLY " != *" $uid "* ]]; then continue; fi
    if [ "$state" = missing ]; then
        echo "$uid ($name): skipped, its codec library $library is not there"
        continue
    fi
    case "$uid" in
    *.4.50 | *.4.51) echo "$uid ($name): skipped, JPEG Baseline/Extended codes 8 or 12 bits and the images have 16" ; continue ;;
    esac
    run_syntax "$uid" "$name" nm 64 "$work/sets/nm" $((64 * 256 * 256 * 2))
    run_syntax "$uid" "$name" ct 16 "$work/in/ct" $((512 * 512 * 2))
done <"$work/map"
