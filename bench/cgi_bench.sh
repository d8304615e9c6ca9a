#!/bin/bash
# The CGI reports under a real web server: lighttpd with mod_cgi on loopback serves ps.cgi,
# cputick.cgi and version.cgi, and for each a static file of the same size; ab (4 concurrent)
# measures requests per second and mean latency of each pair and prints the ratio.
# Usage: cgi_bench.sh [vexa]   (default: the static program of the benchmark build)
set -euo pipefail

VEXA=$(realpath "${1:-bench-build/vexa_static}")
LIGHTTPD=${LIGHTTPD:-/usr/sbin/lighttpd}
REQUESTS=${REQUESTS:-400}
CONCURRENCY=${CONCURRENCY:-4}

for program in "$VEXA" "$LIGHTTPD" /usr/bin/ab /usr/bin/curl; do
    if [ ! -x "$program" ]; then
        echo "cgi_bench: $program is missing (scripts/install-deps)" >&2
        exit 1
    fi
done

root=$(mktemp -d)
server=
cleanup() {
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
    fi
    rm -rf "$root"
}
trap cleanup EXIT

mkdir -p "$root/www/cgi-bin"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$root/lighttpd.conf" <<EOF
server.document-root = "$root/www"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$root/error.log"
server.modules = ("mod_cgi")
cgi.assign = (".cgi" => "")
mimetype.assign = (".xml" => "text/xml")
EOF
"$LIGHTTPD" -D -f "$root/lighttpd.conf" &
server=$!
for _ in $(seq 1 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/" && break
    sleep 0.05
done

# Mean time per request in ms (across all concurrent requests) and requests per second. The
# documents change from one request to the next, so ab's length mismatches are no failures;
# connection errors and answers other than 2xx are.
measure() {
    ab -q -n "$REQUESTS" -c "$CONCURRENCY" "$1" 2>/dev/null |
        awk '/^Requests per second/ {rps = $4} /^Time per request.*\(mean\)$/ {ms = $4}
             /^Non-2xx responses/ {bad += $3}
             /^ +\(Connect:/ {gsub(/[(),]/, ""); bad += $2 + $4 + $8}
             END {if (bad != 0) {print "failed requests: " bad > "/dev/stderr"; exit 1}
                  print ms, rps}'
}

printf '%-12s %8s %12s %12s %12s %12s %8s\n' report bytes cgi-req/s static-req/s cgi-ms static-ms ratio
for name in ps cputick version; do
    ln -sf "$VEXA" "$root/www/cgi-bin/$name.cgi"
    url="http://127.0.0.1:$port/cgi-bin/$name.cgi"
    curl -s "$url" >"$root/www/$name.xml"
    size=$(stat -c %s "$root/www/$name.xml")
    read -r cgi_ms cgi_rps < <(measure "$url")
    read -r static_ms static_rps < <(measure "http://127.0.0.1:$port/$name.xml")
    ratio=$(awk -v a="$cgi_ms" -v b="$static_ms" 'BEGIN {printf "%.1f", a / b}')
    printf '%-12s %8s %12s %12s %12s %12s %7sx\n' "$name.cgi" "$size" "$cgi_rps" "$static_rps" \
        "$cgi_ms" "$static_ms" "$ratio"
done
# A process start cannot be cheaper than the smallest CGI program there is.
printf '#!/bin/sh\nprintf "Content-Type: text/plain\\r\\n\\r\\n"\n' >"$root/www/cgi-bin/empty.cgi"
chmod 755 "$root/www/cgi-bin/empty.cgi"
read -r empty_ms empty_rps < <(measure "http://127.0.0.1:$port/cgi-bin/empty.cgi")
printf '%-12s %8s %12s %12s %12s %12s\n' "sh (empty)" 0 "$empty_rps" - "$empty_ms" -
