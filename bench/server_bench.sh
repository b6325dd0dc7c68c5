#!/usr/bin/env bash
# Block server against nginx, in the same run: one request per connection, keep-alive off,
# one server thread / one nginx worker, all on 127.0.0.1.
#
#   bench/server_bench.sh BUILD_DIR            (e.g. build; builds nothing itself)
#   DURATION=4 ROUNDS=3 CONNECTIONS="1 64 256" WRK_THREADS=2 bench/server_bench.sh build
#
# wrk runs one thread per core (at most one per connection; WRK_THREADS overrides). With a
# single wrk thread on a two-core machine the load generator, not the server, is the limit:
# it needs about twice the CPU per request that our server does, so every server fast enough
# is held to wrk's pace and the comparison measures wrk.
#
# Each point runs ROUNDS times, ours and nginx alternating, and reports the medians, so a
# burst of other load on the machine does not decide the comparison.
#
# Serves the built-in defaults. nginx serves the same two bodies, fetched from our server
# first: the script as a file, the blocked page as the body of a 403. Prints requests per
# second, p50 and p99 latency for each point, the ratio ours/nginx, and the CPU time each
# server spent per request (user + system time of our server process and of nginx's worker,
# read from /proc before and after each run).
set -euo pipefail

build=${1:?usage: bench/server_bench.sh BUILD_DIR}
server=$build/blockserver/kestralune-blockserver
duration=${DURATION:-4}
rounds=${ROUNDS:-3}
connections=${CONNECTIONS:-1 64 256}
wrk_threads=${WRK_THREADS:-$(nproc)}

for tool in "$server" nginx wrk curl python3; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

work=$(mktemp -d /tmp/kestralune-bench-XXXXXX)
chmod 755 "$work"  # nginx workers may run as another user
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_for() {
    for _ in $(seq 100); do
        curl -s -o /dev/null "$1" && return 0
        sleep 0.05
    done
    echo "not answering: $1" >&2
    exit 1
}

ours_port=$(free_port)
"$server" --port "$ours_port" >"$work/server.log" 2>&1 &
pids+=($!)
ours=http://127.0.0.1:$ours_port
wait_for "$ours/proxy.pac"

mkdir -p "$work/www"
curl -s "$ours/proxy.pac" -o "$work/www/proxy.pac"
curl -s "$ours/blocked" -o "$work/www/blocked.html"

nginx_port=$(free_port)
cat >"$work/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 4096; }
http {
    access_log off;
    server_tokens off;
    keepalive_timeout 0;
    sendfile on;
    client_body_temp_path $work/client_body;
    proxy_temp_path $work/proxy;
    fastcgi_temp_path $work/fastcgi;
    uwsgi_temp_path $work/uwsgi;
    scgi_temp_path $work/scgi;
    server {
        listen 127.0.0.1:$nginx_port backlog=4096;
        root $work/www;
        add_header Cache-Control no-store always;
        add_header Access-Control-Allow-Origin * always;
        location = /proxy.pac { types { } default_type application/x-ns-proxy-autoconfig; }
        location = /blocked { return 403; }
        error_page 403 /blocked.html;
        location = /blocked.html { internal; types { } default_type "text/html; charset=utf-8"; }
        location = /status { stub_status; }
    }
}
EOF
nginx -e "$work/nginx-error.log" -p "$work" -c "$work/nginx.conf" &
pids+=($!)
theirs=http://127.0.0.1:$nginx_port
wait_for "$theirs/status"
nginx_worker=$(cat /proc/"${pids[1]}"/task/*/children | awk '{ print $1 }')
[ -n "$nginx_worker" ] || { echo "no nginx worker" >&2; exit 1; }

# Both must serve the same bytes with the same status.
check_same() {
    local path=$1 file=$2 expected=$3 base status
    for base in "$ours" "$theirs"; do
        status=$(curl -s -o "$work/check.body" -w '%{http_code}' "$base$path")
        if [ "$status" != "$expected" ] || ! cmp -s "$work/check.body" "$work/www/$file"; then
            echo "$base$path: status $status or body differs from ours" >&2
            exit 1
        fi
    done
}
check_same /proxy.pac proxy.pac 200
check_same /blocked blocked.html 403

accepted() { curl -s "$theirs/status" | awk 'NR == 3 { print $1 }'; }

# User + system time of a process so far, in clock ticks (fields 14 and 15 of its stat, counted
# after the command name, which may hold spaces).
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
ticks_per_second=$(getconf CLK_TCK)

# "requests/s p50_ms p99_ms requests cpu_us_per_request" from one wrk run; `pid` is the
# server process whose CPU time is counted.
measure() {
    local url=$1 conns=$2 pid=$3 out before after
    before=$(cpu_ticks "$pid")
    out=$(wrk -t"$((wrk_threads < conns ? wrk_threads : conns))" -c"$conns" -d"${duration}s" \
        --latency -H "Connection: close" "$url")
    after=$(cpu_ticks "$pid")
    if grep -q "Socket errors" <<<"$out"; then
        echo "wrk reported socket errors for $url at $conns connections:" >&2
        grep "Socket errors" <<<"$out" >&2
    fi
    awk -v ticks=$((after - before)) -v hz="$ticks_per_second" '
        function ms(v) {
            if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0
            if (v ~ /m$/) return v * 60000; if (v ~ /s$/) return v * 1000; return v
        }
        /^ +50%/ { p50 = ms($2) } /^ +99%/ { p99 = ms($2) }
        /requests in/ { requests = $1 } /^Requests\/sec/ { rps = $2 }
        END { printf "%.0f %.3f %.3f %d %.1f\n", rps, p50, p99, requests,
              requests ? ticks * 1e6 / hz / requests : 0 }' <<<"$out"
}

# The round with the median requests/s, and the median CPU time per request of all rounds
# ("rps p50 p99 cpu_us", one line per round on stdin).
median() {
    local runs
    runs=$(cat)
    read -r rps p50 p99 < <(sort -n -k1,1 <<<"$runs" | awk '{ rps[NR] = $1; p50[NR] = $2; p99[NR] = $3 }
        END { m = int((NR + 1) / 2); printf "%s %s %s\n", rps[m], p50[m], p99[m] }')
    cpu=$(awk '{ print $4 }' <<<"$runs" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    echo "$rps $p50 $p99 $cpu"
}

echo "Kestralune block server vs nginx $(nginx -v 2>&1 | sed 's/.*nginx\///'), $(date -u +%Y-%m-%d)," \
    "$(nproc) cores, ${duration}s per run, median of $rounds alternating runs per point," \
    "one request per connection, wrk threads: up to $wrk_threads; cpu = server CPU time per request"
printf '%-10s %5s | %9s %8s %8s | %9s %8s %8s | %6s | %8s %8s\n' body conns "ours r/s" "p50 ms" \
    "p99 ms" "nginx r/s" "p50 ms" "p99 ms" ratio "ours cpu" "nginx cpu"
for path in /proxy.pac /blocked; do
    for conns in $connections; do
        : >"$work/ours.runs"
        : >"$work/nginx.runs"
        for _ in $(seq "$rounds"); do
            measure "$ours$path" "$conns" "${pids[0]}" | cut -d' ' -f1-3,5 >>"$work/ours.runs"
            before=$(accepted)
            read -r rps p50 p99 requests cpu < <(measure "$theirs$path" "$conns" "$nginx_worker")
            after=$(accepted)
            # One connection per request, or the comparison is void (the status fetch is one
            # more).
            if (((after - before - 1) < requests)); then
                echo "wrk reused connections: $((after - before - 1)) for $requests requests" >&2
                exit 1
            fi
            echo "$rps $p50 $p99 $cpu" >>"$work/nginx.runs"
        done
        read -r ours_rps ours_p50 ours_p99 ours_cpu < <(median <"$work/ours.runs")
        read -r nginx_rps nginx_p50 nginx_p99 nginx_cpu < <(median <"$work/nginx.runs")
        ratio=$(awk -v a="$ours_rps" -v b="$nginx_rps" 'BEGIN { printf "%.2f", b ? a / b : 0 }')
        printf '%-10s %5d | %9d %8.3f %8.3f | %9d %8.3f %8.3f | %5sx | %5.1f us %5.1f us\n' \
            "$path" "$conns" "$ours_rps" "$ours_p50" "$ours_p99" "$nginx_rps" "$nginx_p50" \
            "$nginx_p99" "$ratio" "$ours_cpu" "$nginx_cpu"
    done
done
