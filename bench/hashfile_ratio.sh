#!/usr/bin/env bash
# HashFile through a whole `kscapi call` process against `openssl dgst` on the same
# cached files, both in this one run so that both see the same machine load. Each side
# runs ROUNDS times in turn (a batch of runs per round for the small file) and keeps its
# best round; the ratio is openssl's time / ours (above 1: we are faster), from wall time
# and from the CPU time (user + system) the processes used. Then the peak resident size
# of one HashFile of a 3 GiB file (sparse, so it costs no disk), and the shared objects
# that process start loads.
# Usage: bench/hashfile_ratio.sh [ROUNDS]        (needs build/kscapi; GNU time)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
kscapi=$PWD/build/kscapi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KSCAPI_HOME=$work/home

head -c $((512 << 20)) /dev/urandom >"$work/large.bin"
head -c $((16 << 10)) /dev/urandom >"$work/small.bin"
truncate -s 3G "$work/sparse.bin"
cat "$work/large.bin" "$work/small.bin" >/dev/null  # in the page cache from here on

# "wall cpu" in seconds for `batch` runs of the command.
timed() {
  local batch=$1 out
  shift
  out=$({ TIMEFORMAT='%3R %3U %3S'; time (for ((k = 0; k < batch; k++)); do "$@" >/dev/null; done); } 2>&1)
  awk '{ printf "%.4f %.4f\n", $1, $2 + $3 }' <<<"$out"
}

ours() { "$kscapi" --ui none call HashFile "$1" "$2"; }

printf '%-6s %-6s %9s %9s %7s %9s %9s %7s\n' file algo ours_s openssl_s wall× ours_cpu ossl_cpu cpu×
for file in large small; do
  batch=1
  [ "$file" = small ] && batch=20
  for pair in md5:1 sha1:2 sha256:3 sha512:4; do
    algo=${pair%%:*} flags=${pair##*:}
    want=$(openssl dgst -"$algo" -r "$work/$file.bin" | cut -d' ' -f1 | tr a-f A-F)
    got=$(ours "$work/$file.bin" "$flags" | sed 's/.*"ret":"\([0-9A-F]*\)".*/\1/')
    [ "$got" = "$want" ] || { echo "$file $algo: $got, openssl says $want" >&2; exit 1; }
    best_ours=(9e9 9e9) best_ossl=(9e9 9e9)
    for ((r = 0; r < rounds; r++)); do
      read -r w c < <(timed "$batch" ours "$work/$file.bin" "$flags")
      best_ours=("$(awk -v a="$w" -v b="${best_ours[0]}" 'BEGIN{print (a < b ? a : b)}')"
                 "$(awk -v a="$c" -v b="${best_ours[1]}" 'BEGIN{print (a < b ? a : b)}')")
      read -r w c < <(timed "$batch" openssl dgst -"$algo" "$work/$file.bin")
      best_ossl=("$(awk -v a="$w" -v b="${best_ossl[0]}" 'BEGIN{print (a < b ? a : b)}')"
                 "$(awk -v a="$c" -v b="${best_ossl[1]}" 'BEGIN{print (a < b ? a : b)}')")
    done
    awk -v f="$file" -v a="$algo" -v n="$batch" -v ow="${best_ours[0]}" -v sw="${best_ossl[0]}" \
      -v oc="${best_ours[1]}" -v sc="${best_ossl[1]}" 'BEGIN {
        printf "%-6s %-6s %9.4f %9.4f %7.2f %9.4f %9.4f %7.2f\n", f, a, ow / n, sw / n,
               sw / ow, oc / n, sc / n, (oc > 0 ? sc / oc : 0) }'
  done
done

peak=$(/usr/bin/time -f %M "$kscapi" --ui none call HashFile "$work/sparse.bin" 3 2>&1 >/dev/null)
echo "peak resident size, HashFile of 3 GiB: $((peak / 1024)) MiB"

# What a hashing process still maps at start: the shared objects the loader initialises
# (the desktop dialogs and libsecret are opened only when first needed).
loaded=$(LD_DEBUG=libs "$kscapi" --ui none call HashFile "$work/small.bin" 3 2>&1 >/dev/null |
  sed -n 's/.*calling init: //p' | xargs -n1 basename | tr '\n' ' ')
echo "shared objects initialised by a HashFile process: $(wc -w <<<"$loaded"): $loaded"
