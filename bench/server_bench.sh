#!/usr/bin/env bash
# Load benchmark of tarvo-server: 512 KiB uploads with SQLite and with PostgreSQL, page and
# image serving, and nginx on the same machine as the ceiling for both. Builds nothing.
#
#   bench/server_bench.sh [BUILD_DIR] [sqlite] [postgres] [nginx]
#
# BUILD_DIR (default build/bench) holds server/tarvo-server and bench/tarvo_server_load.
# Naming parts runs only those (default: all three). Everything listens on 127.0.0.1 or on a
# unix socket in a private temporary folder, and is stopped and removed on exit.
# Environment: TARVO_BENCH_SECONDS (6 per run), TARVO_BENCH_WARMUP (1),
# TARVO_BENCH_POST_CLIENTS ("1 16 64"), TARVO_BENCH_SERVE_CLIENTS ("1 16"),
# PG_BIN (/usr/lib/postgresql/15/bin), NGINX (nginx), TARVO_BENCH_KEEP (set: keep the folder).
set -euo pipefail

build=${1:-build/bench}
[[ $# -gt 0 ]] && shift
parts=("$@")
[[ ${#parts[@]} -eq 0 ]] && parts=(sqlite postgres nginx)
seconds=${TARVO_BENCH_SECONDS:-6}
warmup=${TARVO_BENCH_WARMUP:-1}
post_clients=${TARVO_BENCH_POST_CLIENTS:-"1 16 64"}
serve_clients=${TARVO_BENCH_SERVE_CLIENTS:-"1 16"}
pg_bin=${PG_BIN:-/usr/lib/postgresql/15/bin}
nginx_bin=${NGINX:-nginx}
size=524288

load=$build/bench/tarvo_server_load
server=$build/server/tarvo-server
for exe in "$load" "$server"; do
    if [[ ! -x $exe ]]; then
        echo "missing $exe; build first:" >&2
        echo "  cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVO_BUILD_BENCH=ON && cmake --build $build" >&2
        exit 2
    fi
done

want() {
    local p
    for p in "${parts[@]}"; do [[ $p == "$1" ]] && return 0; done
    return 1
}
for p in "${parts[@]}"; do
    case $p in sqlite | postgres | nginx) ;; *) echo "unknown part: $p" >&2; exit 2 ;; esac
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvo-bench.XXXXXX")
# PostgreSQL and nginx's workers run as nobody when we are root: they must reach their folders.
chmod 711 "$work"
results=$work/results
: >"$results"

tarvo_pids=()
nginx_pid=
pg_pid=
pg_data=

as_db_user() {
    if [[ $EUID -eq 0 ]]; then runuser -u nobody -- "$@"; else "$@"; fi
}

# Waits up to $2 seconds for our child $1 to end, then kills it.
stop_pid() {
    local pid=$1 limit=$2 i
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < limit * 10; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    local pid
    # The services first, so no client is left when the database goes.
    for pid in "${tarvo_pids[@]}"; do stop_pid "$pid" 10; done
    [[ -n $nginx_pid ]] && stop_pid "$nginx_pid" 5
    if [[ -n $pg_pid ]]; then
        as_db_user "$pg_bin/pg_ctl" -D "$pg_data" -m fast -w -t 20 stop >/dev/null 2>&1 || true
        stop_pid "$pg_pid" 10
    fi
    if [[ -n ${TARVO_BENCH_KEEP:-} ]]; then
        echo "kept $work (server logs, nginx.conf)" >&2
    else
        rm -rf "$work"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts tarvo-server on a free port; sets started_pid and started_port.
start_tarvo() {
    local name=$1 i line
    shift
    # One address stands for all the clients here; the per-address cap is for the internet.
    "$server" --listen 127.0.0.1:0 --per-ip-connections 0 "$@" >"$work/$name.out" 2>"$work/$name.log" &
    started_pid=$!
    tarvo_pids+=("$started_pid")
    for ((i = 0; i < 150; i++)); do
        line=$(grep -m1 -o 'listening on 127\.0\.0\.1:[0-9]*' "$work/$name.out" || true)
        if [[ -n $line ]]; then
            started_port=${line##*:}
            return 0
        fi
        if ! kill -0 "$started_pid" 2>/dev/null; then
            echo "tarvo-server ($name) did not start:" >&2
            cat "$work/$name.out" "$work/$name.log" >&2
            exit 1
        fi
        sleep 0.1
    done
    echo "tarvo-server ($name) printed no port in 15 s" >&2
    exit 1
}

start_postgres() {
    local dir=$work/pg user i
    mkdir "$dir"
    if [[ $EUID -eq 0 ]]; then
        chown nobody "$dir"
        user=nobody
    else
        user=$(id -un)
    fi
    pg_data=$dir/data
    as_db_user "$pg_bin/initdb" -D "$pg_data" -A trust -U "$user" -E UTF8 --locale=C -N \
        >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    # A unix socket only, and the durability defaults (fsync, synchronous_commit) left as
    # they are: the SQLite storage fsyncs every commit too.
    as_db_user "$pg_bin/postgres" -D "$pg_data" -c listen_addresses='' \
        -c unix_socket_directories="$dir" >"$dir/postgres.log" 2>&1 &
    pg_pid=$!
    for ((i = 0; i < 150; i++)); do
        "$pg_bin/pg_isready" -q -h "$dir" -d postgres -U "$user" && break
        if ! kill -0 "$pg_pid" 2>/dev/null; then
            echo "postgres did not start:" >&2
            cat "$dir/postgres.log" >&2
            exit 1
        fi
        sleep 0.1
    done
    "$pg_bin/pg_isready" -q -h "$dir" -d postgres -U "$user" || { echo "postgres not ready" >&2; exit 1; }
    pg_url="postgresql:///postgres?host=$dir&user=$user"
}

start_nginx() {
    local dir=$work/nginx port i
    mkdir -p "$dir/conf" "$dir/www/store" "$dir/body"
    # Stand-ins until a tarvo serve run saves a real page and image here.
    printf '<!DOCTYPE html><html><body><img src="image.png"></body></html>\n' >"$dir/www/page.htp"
    { printf '\x89PNG\r\n\x1a\n'; head -c $((size - 8)) /dev/urandom; } >"$dir/www/image.png"
    local user_line=
    if [[ $EUID -eq 0 ]]; then
        user_line="user nobody nogroup;"
        chown nobody "$dir/www/store"
    fi
    for _ in 1 2 3 4 5 6 7 8; do
        port=$((20000 + RANDOM % 40000))
        [[ -n $(ss -Htln "sport = :$port") ]] && continue
        cat >"$dir/conf/nginx.conf" <<EOF
$user_line
daemon off;
master_process on;
worker_processes 2;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000;
    keepalive_timeout 60s;
    types { text/html htp; image/png png; }
    default_type application/octet-stream;
    client_body_temp_path $dir/body;
    proxy_temp_path $dir/body;
    fastcgi_temp_path $dir/body;
    uwsgi_temp_path $dir/body;
    scgi_temp_path $dir/body;
    client_max_body_size 2m;
    client_body_buffer_size 2m;
    server {
        listen 127.0.0.1:$port;
        root $dir/www;
        # Reads the whole body off the socket and drops it, then answers OK.
        location = /discard {
            default_type text/plain;
            return 200 "OK";
        }
        # Receives the body into a temporary file and renames it over the target file.
        location /store/ {
            dav_methods PUT;
        }
    }
}
EOF
        "$nginx_bin" -p "$dir" -c "$dir/conf/nginx.conf" -e "$dir/error.log" 2>"$dir/stderr.log" &
        nginx_pid=$!
        for ((i = 0; i < 50; i++)); do
            if curl -sf -o /dev/null "http://127.0.0.1:$port/page.htp"; then
                nginx_port=$port
                return 0
            fi
            kill -0 "$nginx_pid" 2>/dev/null || break
            sleep 0.1
        done
        stop_pid "$nginx_pid" 5
        nginx_pid=
    done
    echo "nginx did not start:" >&2
    cat "$dir/error.log" "$dir/stderr.log" >&2 2>/dev/null || true
    exit 1
}

# run LABEL PIDS LOAD-ARGS...: one measured run; its RESULT line goes to the results file.
run() {
    local label=$1 pids=$2 pid
    shift 2
    local args=()
    for pid in $pids; do args+=(--server-pid "$pid"); done
    # The previous run's dirty pages (nginx's files, a checkpoint) would otherwise be written
    # back during this one and slow its fsyncs.
    sync
    "$load" "$@" --seconds "$seconds" --warmup "$warmup" --label "$label" "${args[@]}" |
        tee -a "$results" || echo "($label failed)" >&2
}

# Other work on the machine skews every figure but the CPU per operation: say how busy it was.
read -r load_before _ </proc/loadavg
cpu_model=$(sed -n 's/^model name[[:space:]]*: *//p' /proc/cpuinfo | head -1)
echo "tarvo-server benchmark: ${seconds} s per run after ${warmup} s warm-up, $(nproc) processors" >&2

if want sqlite; then
    mkdir "$work/sqlite"
    start_tarvo sqlite --data "$work/sqlite"
    sqlite_pid=$started_pid sqlite_port=$started_port
fi
if want postgres; then
    start_postgres
    start_tarvo postgres --database "$pg_url"
    postgres_pid=$started_pid postgres_port=$started_port
fi
if want nginx; then
    start_nginx
fi

for c in $post_clients; do
    want sqlite && run "post-sqlite-c$c" "$sqlite_pid" post --url "http://127.0.0.1:$sqlite_port/db/" --clients "$c"
    want postgres && run "post-postgres-c$c" "$postgres_pid $pg_pid" post --url "http://127.0.0.1:$postgres_port/db/" --clients "$c"
    if want nginx; then
        run "put-nginx-c$c" "$nginx_pid" static --method PUT --size "$size" --clients "$c" \
            --url "http://127.0.0.1:$nginx_port/store/client{client}.png"
        run "discard-nginx-c$c" "$nginx_pid" static --method POST --size "$size" --clients "$c" \
            --url "http://127.0.0.1:$nginx_port/discard"
    fi
done

# The first serve run leaves a real page and image for nginx to serve byte for byte.
save=()
want nginx && save=(--save "$work/nginx/www")
for c in $serve_clients; do
    if want sqlite; then
        run "serve-sqlite-c$c" "$sqlite_pid" serve --url "http://127.0.0.1:$sqlite_port/db/" --clients "$c" "${save[@]}"
        save=()
    fi
    if want postgres; then
        run "serve-postgres-c$c" "$postgres_pid $pg_pid" serve --url "http://127.0.0.1:$postgres_port/db/" --clients "$c" "${save[@]}"
        save=()
    fi
    want nginx && run "serve-nginx-c$c" "$nginx_pid" static --clients "$c" \
        --url "http://127.0.0.1:$nginx_port/page.htp" --url "http://127.0.0.1:$nginx_port/image.png"
done
top=${serve_clients##* }
want sqlite && run "image-sqlite-c$top" "$sqlite_pid" serve --png-only --url "http://127.0.0.1:$sqlite_port/db/" --clients "$top"
want nginx && run "image-nginx-c$top" "$nginx_pid" static --clients "$top" --url "http://127.0.0.1:$nginx_port/image.png"

# field LABEL KEY: one value of a RESULT line, empty when the run is missing.
field() {
    awk -v label="$1" -v key="$2" '$1 == "RESULT" {
        found = 0; value = ""
        for (i = 2; i <= NF; i++) {
            split($i, kv, "=")
            if (kv[1] == "label" && kv[2] == label) found = 1
            if (kv[1] == key) value = kv[2]
        }
        if (found) { print value; exit }
    }' "$results"
}

ratio() {
    local a b
    a=$(field "$1" rate)
    b=$(field "$2" rate)
    if [[ -n $a && -n $b ]]; then awk -v a="$a" -v b="$b" 'BEGIN { printf (b > 0 ? "%.2f" : "-"), a / b }'; else echo "-"; fi
}

# row TITLE LABEL CLIENTS REFERENCE: one table line; the requests column only where a view
# is more than one request ($with_requests).
row() {
    local l=$2 requests=
    [[ -z $(field "$l" rate) ]] && return 0
    [[ -n $with_requests ]] && requests=$(printf ' %.1f |' "$(field "$l" req_rate)")
    printf '| %s | %s | %.1f |%s %.1f | %.2f | %.2f | %.2f | %s | %.0f%% | %.2f | %s |\n' \
        "$1" "$3" "$(field "$l" rate)" "$requests" "$(field "$l" mbps)" \
        "$(field "$l" p50_ms)" "$(field "$l" p99_ms)" "$(field "$l" max_ms)" "$(field "$l" errors)" \
        "$(field "$l" server_cpu_pct)" "$(field "$l" server_cpu_ms_per_op)" "$(ratio "$l" "$4")"
}

{
    echo
    echo "$(nproc) processors (${cpu_model:-unknown}), Linux $(uname -r); load average $load_before" \
        "before the first run; ${seconds} s per run after ${warmup} s of warm-up."
    echo
    echo "Uploads of 512 KiB (ciphertext 524296 bytes); rate = replies of exactly OK per second."
    echo
    with_requests=
    echo "| Run | Clients | Uploads/s | MB/s | p50 ms | p99 ms | max ms | Errors | Server CPU | CPU ms/upload | vs nginx PUT |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    for c in $post_clients; do row "tarvo-server, SQLite" "post-sqlite-c$c" "$c" "put-nginx-c$c"; done
    for c in $post_clients; do row "tarvo-server, PostgreSQL" "post-postgres-c$c" "$c" "put-nginx-c$c"; done
    for c in $post_clients; do row "nginx PUT to a file" "put-nginx-c$c" "$c" ""; done
    for c in $post_clients; do row "nginx POST, body dropped" "discard-nginx-c$c" "$c" ""; done
    echo
    echo "Serving; a view is one page and its image (two requests), an image view the image alone."
    echo
    with_requests=1
    echo "| Run | Clients | Views/s | Requests/s | MB/s | p50 ms | p99 ms | max ms | Errors | Server CPU | CPU ms/view | vs nginx |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    for c in $serve_clients; do row "tarvo-server, SQLite: page + image" "serve-sqlite-c$c" "$c" "serve-nginx-c$c"; done
    for c in $serve_clients; do row "tarvo-server, PostgreSQL: page + image" "serve-postgres-c$c" "$c" "serve-nginx-c$c"; done
    for c in $serve_clients; do row "nginx static: page + image" "serve-nginx-c$c" "$c" ""; done
    row "tarvo-server, SQLite: image" "image-sqlite-c$top" "$top" "image-nginx-c$top"
    row "nginx static: image" "image-nginx-c$top" "$top" ""
}
