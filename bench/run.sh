#!/usr/bin/env bash
# Builds the benchmark, serves two releases with nginx on 127.0.0.1 and runs the real download
# component against them beside curl and openssl. Prints the figures.
#
#   bench/run.sh            one 1 GiB file, then 20 files of 8 MiB
#   BIG_MIB=256 bench/run.sh  a smaller first release
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build-bench}
big_mib=${BIG_MIB:-1024}
port=38490

"$here/tools/install-deps.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target velm_download_benchmark -j"$(nproc)"

work=$(mktemp -d /tmp/velm-bench-XXXXXX)
nginx_pid=
cleanup() {
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
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
        # what it needs.
        { openssl enc -aes-128-ctr -pass pass:"$name$i" -nosalt -pbkdf2 </dev/zero 2>/dev/null || true; } \
            | head -c $((mib * 1024 * 1024)) >"$dir/$f"
        local sum size
        sum=$(sha256sum "$dir/$f" | cut -d' ' -f1)
        size=$(stat -c %s "$dir/$f")
        entries+="${entries:+,}{\"url\":\"http://127.0.0.1:$port/$name/$f\",\"filename\":\"$f\",\"filesize\":$size,\"checksum_sha256\":\"$sum\",\"run_after_download\":false}"
    done
    printf '{"files":[%s]}' "$entries" >"$dir/meta"
}

file_urls() {
    local name=$1 files=$2
    for i in $(seq 1 "$files"); do printf 'http://127.0.0.1:%d/%s/part%d.bin\n' "$port" "$name" "$i"; done
}

[ "${SKIP_BIG:-0}" = 1 ] || make_release big 1 "$big_mib"
make_release many 20 8

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
for _ in $(seq 100); do curl -sf -o /dev/null "http://127.0.0.1:$port/many/meta" && break; sleep 0.1; done

run() {
    local name=$1 files=$2
    echo "== release '$name': $files file(s)"
    # shellcheck disable=SC2046
    xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" \
        ${BENCH_WRAPPER:-} "$build/bench/velm_download_benchmark" "http://127.0.0.1:$port/$name/meta" $(file_urls "$name" "$files")
}

echo "machine: $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB, $(uname -r)"
[ "${SKIP_BIG:-0}" = 1 ] || run big 1
run many 20
