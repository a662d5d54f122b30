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
# Times tools over every file of directory $1, writing into $2/NAME: the other arguments are
# pairs of NAME and a command (`tool args...`, split at spaces) that takes IN OUT. Every command
# runs $runs times, in rounds that take the commands in turn, so that a burst of other work on
# the machine falls on all of them alike; the best time of each is the one least disturbed.
# Prints NAME SECONDS (or NAME fail) per command, in the order given.
runs=${BENCH_RUNS:-3}
time_rounds() {
    local from=$1 to=$2
    shift 2
    local -a names=() commands=() fastest=()
    while [ $# -ge 2 ]; do
        names+=("$1")
        commands+=("$2")
        shift 2
    done
    local run k i f start end count=${#names[@]}
    for ((run = 0; run < runs; ++run)); do
        # Each round starts with another command, so that none always runs on a cold cache.
        for ((k = 0; k < count; ++k)); do
            i=$(((k + run) % count))
            [ "${fastest[i]:-}" = fail ] && continue
            mkdir -p "$to/${names[i]}"
            start=$(now)
            for f in "$from"/*.dcm; do
                # shellcheck disable=SC2086
                ${commands[i]} "$f" "$to/${names[i]}/$(basename "$f")" >/dev/null 2>&1 || { fastest[i]=fail; break; }
            done
            end=$(now)
            [ "${fastest[i]:-}" = fail ] && continue
            fastest[i]=$(awk -v a="$start" -v b="$end" -v best="${fastest[i]:-}" 'BEGIN { t = b - a; if (best != "" && best < t) t = best; printf "%.3f", t }')
        done
    done
    for i in "${!names[@]}"; do echo "${names[i]} ${fastest[i]:-fail}"; done
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

# The peers of a list "cmd;cmd" that are installed, as NAME COMMAND pairs for time_rounds (NAME
# is the tool), one a line; a peer that is not installed is named on standard error.
installed_peers() {
    local cmd list
    IFS=';' read -r -a list <<<"$1"
    for cmd in "${list[@]}"; do
        [ -z "$cmd" ] && continue
        if command -v "${cmd%% *}" >/dev/null; then
            printf '%s\n%s\n' "peer_${cmd%% *}" "$cmd"
        else
            echo "  (${cmd%% *} is not installed)" >&2
        fi
    done
}

# Seconds of `name` in time_rounds output $1.
seconds_of() { awk -v n="$2" '$1 == n { print $2 }' <<<"$1"; }

# Appends to `args` the report arguments (command, seconds) of the peers' NAME COMMAND pairs,
# from time_rounds output $1.
peer_args() {
    local times=$1
    shift
    while [ $# -ge 2 ]; do
        args+=("$2" "$(seconds_of "$times" "$1")")
        shift 2
    done
}

run_syntax() {
    local uid=$1 name=$2 set=$3 frames=$4 src=$5 pixel_bytes=$6
    local out="$work/$set/$name"
    local peers times encode decode coded="$out/velmar" args=() list=() encoded=()
    peers=$(peers_for "$uid")
    echo "$set $uid ($name):"
    # velmar encodes from native in the same rounds as the peers; every decoder then decodes
    # velmar's encoding back to native.
    mapfile -t list < <(installed_peers "${peers%%|*}")
    times=$(time_rounds "$src" "$out" velmar "$velmar convert --syntax $uid" "${list[@]}")
    encode=$(seconds_of "$times" velmar)
    if [ "$encode" = fail ]; then
        # Where velmar only decodes the syntax (JPEG Lossless Process 14), every decoder reads
        # the first peer coder's files instead.
        if [ ${#list[@]} -lt 2 ] || [ "$(seconds_of "$times" "${list[0]}")" = fail ]; then
            echo "  skipped: velmar cannot code this image in $uid"
            return
        fi
        coded="$out/${list[0]}"
        echo "  velmar decodes only: decoding the files of ${list[1]}"
    else
        args=()
        peer_args "$times" "${list[@]}"
        encoded=("${args[@]}")
    fi
    mapfile -t list < <(installed_peers "${peers#*|}")
    times=$(time_rounds "$coded" "$out/raw" velmar "$velmar convert --syntax explicit" "${list[@]}")
    decode=$(seconds_of "$times" velmar)
    if lossless "$uid" && ! same_pixels "$src" "$out/raw/velmar" "$pixel_bytes"; then
        echo "  WARNING: velmar's round trip differs from the source"
    fi
    echo "  size    source/coded $(awk -v a="$(bytes "$src")" -v b="$(bytes "$coded")" 'BEGIN { printf "%.2f", a / b }')"
    [ "$encode" != fail ] && report encode "$frames" "$encode" "${encoded[@]}"
    args=()
    peer_args "$times" "${list[@]}"
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
