#!/usr/bin/env bash
# Builds the benchmark, serves two releases with nginx on 127.0.0.1 and runs the real download
# component against them, taking turns with curl and openssl on the same files for a few rounds.
# Prints every round's figures and the medians with their spread. Exits non-zero, with the
# reason, when any run of the component or of a reference tool failed.
#
#   bench/run.sh                         5 rounds; one 1 GiB file, then 20 files of 8 MiB
#   ROUNDS=3 BIG_MIB=256 bench/run.sh    fewer rounds, a smaller first release
#   MANY_FILES=4                         fewer files in the second release
#   SKIP_BIG=1                           the second release alone
#   SANITIZER=thread                     a ThreadSanitizer build (in build-bench-tsan); TSAN_OPTIONS
#                                        as in .ci/run decide where its reports go
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
sanitizer=${SANITIZER:-}
if [ -n "$sanitizer" ]; then
    build=${BUILD_DIR:-$here/build-bench-tsan}
    configure=(-DVELM_SANITIZER="$sanitizer" -DCMAKE_BUILD_TYPE=RelWithDebInfo)
else
    build=${BUILD_DIR:-$here/build-bench}
    configure=(-DCMAKE_BUILD_TYPE=Release)
fi
big_mib=${BIG_MIB:-1024}
many_files=${MANY_FILES:-20}
rounds=${ROUNDS:-5}
port=38490

fail() {
    echo "bench/run.sh: $*" >&2
    exit 1
}

"$here/tools/install-deps.sh"
cmake -S "$here" -B "$build" -G Ninja "${configure[@]}" >/dev/null
cmake --build "$build" --target velm_download_benchmark -j"$(nproc)"

work=$(mktemp -d /tmp/velm-bench-XXXXXX)
nginx_pid=
cleanup() {
    if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# A release: FILES files of MIB MiB each under $work/www/NAME, with its manifest "meta".
make_release() {
    local name=$1 files=$2 mib=$3 dir="$work/www/$1" entries=""
    mkdir -p "$dir"
    for i in $(seq 1 "$files"); do
        local f="part$i.bin"
        # A fast stream of pseudo-random bytes; the cipher stops on a broken pipe when head has
        # what it needs, so its own exit code says nothing: the size of the result does.
        { openssl enc -aes-128-ctr -pass pass:"$name$i" -nosalt -pbkdf2 </dev/zero 2>/dev/null || true; } \
            | head -c $((mib * 1024 * 1024)) >"$dir/$f"
        local sum size
        size=$(stat -c %s "$dir/$f")
        [ "$size" -eq $((mib * 1024 * 1024)) ] || fail "could not make $dir/$f ($size bytes)"
        sum=$(sha256sum "$dir/$f" | cut -d' ' -f1)
        entries+="${entries:+,}{\"url\":\"http://127.0.0.1:$port/$name/$f\",\"filename\":\"$f\",\"filesize\":$size,\"checksum_sha256\":\"$sum\",\"run_after_download\":false}"
    done
    printf '{"files":[%s]}' "$entries" >"$dir/meta"
}

file_urls() {
    local name=$1 files=$2
    for i in $(seq 1 "$files"); do printf 'http://127.0.0.1:%d/%s/part%d.bin\n' "$port" "$name" "$i"; done
}

[ "${SKIP_BIG:-0}" = 1 ] || make_release big 1 "$big_mib"
make_release many "$many_files" 8

# Every round reads the served files from a warm page cache, and none of them waits for the
# releases to be written back to disk.
sync
cat "$work"/www/*/*.bin >/dev/null

mkdir -p "$work/nginx/logs"
chmod -R a+rX "$work"
cat >"$work/nginx/nginx.conf" <<CONF
user root;
worker_processes 2;
error_log $work/nginx/logs/error.log;
pid $work/nginx/nginx.pid;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    types { application/octet-stream bin; application/json meta; }
    server {
        listen 127.0.0.1:$port;
        root $work/www;
    }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' &
nginx_pid=$!
served=0
for _ in $(seq 100); do
    if curl -sf -o /dev/null "http://127.0.0.1:$port/many/meta"; then served=1; break; fi
    sleep 0.1
done
[ "$served" = 1 ] || fail "nginx does not serve on 127.0.0.1:$port: $(cat "$work/nginx/logs/error.log" 2>/dev/null)"

run() {
    local name=$1 files=$2
    echo
    echo "== release '$name': $files file(s)"
    # shellcheck disable=SC2046,SC2086  # the wrapper and the addresses are meant to split
    xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" \
        ${BENCH_WRAPPER:-} "$build/bench/velm_download_benchmark" --rounds "$rounds" \
        "http://127.0.0.1:$port/$name/meta" $(file_urls "$name" "$files") \
        || fail "the benchmark failed on release '$name' (exit code $?)"
}

echo "machine: $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB, $(uname -r)"
[ "${SKIP_BIG:-0}" = 1 ] || run big 1
run many "$many_files"
