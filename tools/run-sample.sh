#!/usr/bin/env bash
# Runs the downloader against a sample release served on this machine.
#
# Builds velm-sample-downloader, whose embedded configuration asks for
# http://127.0.0.1:38471/sample-release/meta, makes a release of a few files in a temporary
# folder, serves it there with nginx and runs a copy of the downloader in a temporary download
# folder.
#   - With a reachable display ($DISPLAY) the downloader is yours to answer.
#   - Without one it runs on an Xvfb display of its own: the script presses "Default" in the
#     first box, takes screenshots while the window is open and keeps the last one, and the file
#     that the release marks to be run is handed to a stand-in xdg-open that only logs it.
# Exits 0 when every file arrived and matches its SHA-256.
#   BUILD_DIR     build folder (default: build/ in the source tree)
#   SAMPLE_RATE   nginx's limit_rate per connection (default 10m), so that the progress shows
#   SAMPLE_SHOT   where the last screenshot is copied (default /tmp/velm-sample-release.png)
set -euo pipefail

src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$src/build}"
rate="${SAMPLE_RATE:-10m}"
shot_copy="${SAMPLE_SHOT:-/tmp/velm-sample-release.png}"
port=38471
product="Velm Sample Release"
main_window="$product Downloader"
first_box="Select download location"
run_timeout=180

log() { printf 'run-sample: %s\n' "$*"; }
fail() { printf 'run-sample: error: %s\n' "$*" >&2; exit 1; }

bash "$src/tools/install-deps.sh"

work="$(mktemp -d "${TMPDIR:-/tmp}/velm-sample.XXXXXX")"

log "building velm-sample-downloader in $build (log: $work/build.log)"
if ! { cmake -S "$src" -B "$build" -G Ninja \
        && cmake --build "$build" -j "${JOBS:-8}" --target velm-sample-downloader; } >"$work/build.log" 2>&1; then
    tail -n 50 "$work/build.log" >&2
    fail "the build failed; the whole log is $work/build.log"
fi
www="$work/www/sample-release"
downloads="$work/downloads"
product_folder="$downloads/$product"
mkdir -p "$www" "$downloads" "$work/nginx/tmp" "$work/bin" "$work/tmp" "$work/shots"

nginx_pid="" app_pid="" xvfb_pid=""

cleanup() {
    local pid
    for pid in "$app_pid" "$nginx_pid" "$xvfb_pid"; do
        if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then
            kill "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    # The downloads stay for a look; the served copy of the release goes.
    rm -rf "$work/www" "$work/nginx/tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

#------------------------------------------------------------------------------
# The sample release: three files of random data and a small text, which is the one to open.
log "making the sample release in $www"
names=() sizes=() marks=()
for mib in 8 16 24; do
    name="sample-data-${mib}MiB.bin"
    head -c "$((mib * 1024 * 1024))" /dev/urandom > "$www/$name"
    names+=("$name") sizes+=("$((mib * 1024 * 1024))") marks+=(false)
done
cat > "$www/README-sample.txt" <<'EOF'
This is the sample release of the Velm downloader.

The downloader fetched these files from a server on this machine, checked each one against its
size and SHA-256 digest, and then opened this file, which the release marks to be run after the
download.
EOF
names+=("README-sample.txt") sizes+=("$(stat -c %s "$www/README-sample.txt")") marks+=(true)

{
    printf '{"sku":"sample","buildno":1,"version":"1.0.0","files":['
    for i in "${!names[@]}"; do
        [[ $i -gt 0 ]] && printf ','
        sum="$(sha256sum "$www/${names[$i]}" | cut -d' ' -f1)"
        printf '{"url":"http://127.0.0.1:%s/sample-release/%s","filename":"%s","filesize":%s,"checksum_sha256":"%s","run_after_download":%s}' \
            "$port" "${names[$i]}" "${names[$i]}" "${sizes[$i]}" "$sum" "${marks[$i]}"
    done
    printf ']}\n'
} > "$www/meta"

(cd "$www" && sha256sum "${names[@]}") > "$work/expected.sha256"

#------------------------------------------------------------------------------
# The server.
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    fail "something already listens on 127.0.0.1:$port; the sample release needs that port"
fi

user_line=""
[[ $(id -u) -eq 0 ]] && user_line="user root;"

cat > "$work/nginx/nginx.conf" <<EOF
daemon off;
worker_processes 1;
$user_line
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 64; }
http {
    access_log $work/nginx/access.log;
    client_body_temp_path $work/nginx/tmp/body;
    proxy_temp_path $work/nginx/tmp/proxy;
    fastcgi_temp_path $work/nginx/tmp/fastcgi;
    uwsgi_temp_path $work/nginx/tmp/uwsgi;
    scgi_temp_path $work/nginx/tmp/scgi;
    types { text/plain txt; }
    default_type application/octet-stream;
    sendfile on;
    server {
        listen 127.0.0.1:$port;
        root $work/www;
        limit_rate $rate;
        location = /sample-release/meta { default_type application/json; }
    }
}
EOF

nginx -p "$work/nginx/" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
nginx_pid=$!

for _ in $(seq 100); do
    curl -fsS -o /dev/null "http://127.0.0.1:$port/sample-release/meta" 2>/dev/null && break
    kill -0 "$nginx_pid" 2>/dev/null || fail "nginx did not start: $(cat "$work/nginx/error.log" 2>/dev/null)"
    sleep 0.1
done
curl -fsS -o /dev/null "http://127.0.0.1:$port/sample-release/meta" || fail "nginx does not answer on 127.0.0.1:$port"
log "serving the release at http://127.0.0.1:$port/sample-release/meta (limit_rate $rate)"

#------------------------------------------------------------------------------
# The downloader, copied so that its default download folder is a fresh one.
cp "$build/bin/velm-sample-downloader" "$downloads/"
app="$downloads/velm-sample-downloader"

verify_downloads() {
    [[ -d "$product_folder" ]] || { log "no product folder at $product_folder"; return 1; }
    (cd "$product_folder" && sha256sum --quiet -c "$work/expected.sha256")
}

if [[ -n "${DISPLAY:-}" ]] && xdpyinfo >/dev/null 2>&1; then
    log "starting the downloader on $DISPLAY: answer its boxes yourself"
    log "(\"Default\" downloads next to the program, into $product_folder)"
    set +e
    (cd "$downloads" && TMPDIR="$work/tmp" "$app")
    app_rc=$?
    set -e
    log "the downloader ended with exit code $app_rc"

    if [[ -d "$product_folder" ]]; then
        if verify_downloads; then
            log "downloaded and verified: $product_folder"
            exit 0
        fi
        fail "the files in $product_folder do not match the release"
    fi
    log "nothing arrived in the default folder: if you chose a folder of your own, the files are in \"$product\" there"
    exit "$app_rc"
fi

#------------------------------------------------------------------------------
# No display: one of our own, and the script answers for the user.
exec 4>"$work/display"
Xvfb -displayfd 4 -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 4>&-
for _ in $(seq 100); do
    [[ -s "$work/display" ]] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    sleep 0.1
done
[[ -s "$work/display" ]] || fail "Xvfb gave no display number"
export DISPLAY=":$(head -n1 "$work/display")"
log "started Xvfb on $DISPLAY"

cat > "$work/bin/xdg-open" <<EOF
#!/bin/sh
printf '%s\n' "\$1" >> "$work/xdg-open.log"
EOF
chmod +x "$work/bin/xdg-open"

(cd "$downloads" && PATH="$work/bin:$PATH" TMPDIR="$work/tmp" exec "$app") >"$work/downloader.log" 2>&1 &
app_pid=$!

window_named() { { xdotool search --name "^$1\$" 2>/dev/null || true; } | head -n1; }

visible_box() { { xdotool search --onlyvisible --name "^$first_box\$" 2>/dev/null || true; } | head -n1; }

box=""
for _ in $(seq 300); do
    box="$(visible_box)"
    [[ -n "$box" ]] && break
    kill -0 "$app_pid" 2>/dev/null || fail "the downloader ended before asking where to download: $(cat "$work/downloader.log")"
    sleep 0.1
done
[[ -n "$box" ]] || fail "no box \"$first_box\" appeared within 30 s"

# The box is answered once it has taken its place and painted; it is looked up again each
# time, since the framework may replace its X window while it settles.
answered=""
for _ in $(seq 10); do
    sleep 0.5
    box="$(visible_box)"
    if [[ -z "$box" ]]; then
        answered=yes
        break
    fi
    xdotool key --window "$box" Return 2>/dev/null || continue
    for _ in $(seq 20); do
        [[ -z "$(visible_box)" ]] && { answered=yes; break; }
        sleep 0.1
    done
    [[ -n "$answered" ]] && break
done
[[ -n "$answered" ]] || fail "the box \"$first_box\" did not close on Return"
log "pressed \"Default\" in \"$first_box\""

# Screenshots while the window is open; a shot counts only when the window was still there
# after it was taken.
shot="$work/shots/last.png"
start=$SECONDS
shots=0
other=""
while kill -0 "$app_pid" 2>/dev/null; do
    if (( SECONDS - start > run_timeout )); then
        fail "the downloader did not end within ${run_timeout} s"
    fi

    win="$(window_named "$main_window")"
    if [[ -n "$win" ]] && import -window root "$work/shots/next.png" 2>/dev/null \
         && [[ -n "$(window_named "$main_window")" ]]; then
        mv -f "$work/shots/next.png" "$shot"
        shots=$((shots + 1))
    fi

    # Any box now is an error report: show it and stop.
    for id in $(xdotool search --onlyvisible --name '.' 2>/dev/null || true); do
        name="$(xdotool getwindowname "$id" 2>/dev/null || true)"
        if [[ -n "$name" && "$name" != "$main_window" && "$name" != "$first_box" ]]; then
            other="$name"
            break
        fi
    done
    if [[ -n "$other" ]]; then
        sleep 0.5
        import -window root "$shot" 2>/dev/null || true
        cp -f "$shot" "$shot_copy" 2>/dev/null || true
        fail "the downloader shows a box \"$other\" (screenshot: $shot_copy); its output: $(cat "$work/downloader.log")"
    fi

    sleep 0.2
done

set +e
wait "$app_pid"
app_rc=$?
set -e
app_pid=""
log "the downloader ended with exit code $app_rc after $((SECONDS - start)) s"

if [[ -s "$shot" ]]; then
    cp -f "$shot" "$shot_copy"
    log "last of $shots screenshots of the window: $shot_copy"
else
    log "no screenshot of the window was taken"
fi

opened="$(cat "$work/xdg-open.log" 2>/dev/null || true)"
if [[ "$opened" == "$product_folder/README-sample.txt" ]]; then
    log "opened with xdg-open: $opened"
else
    fail "expected xdg-open to be asked for $product_folder/README-sample.txt, it was asked for: ${opened:-nothing}"
fi

verify_downloads || fail "the files in $product_folder do not match the release"
log "downloaded and verified (sha256sum): $product_folder"
ls -l "$product_folder"
[[ $app_rc -eq 0 ]] || fail "the downloader's exit code was $app_rc"
