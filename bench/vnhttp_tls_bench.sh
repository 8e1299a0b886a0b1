#!/bin/bash
# The TLS server side beside nginx, measured in the same run on loopback: wrk -t2 -c50
# fetching a 1 KiB file over https from
#   vnhttp   `vnhttp serve DIR --cert CHAIN --key KEY` (target: at least 0.6x nginx's
#            requests per second);
#   nginx    worker_processes auto, the same certificate and file (the anchor);
#   embedded httpserver_bench's TLS port (ListenTls, the file through Accept_SendFile): the
#            library's server without the tool around it, which still gives a figure when
#            the tool cannot take a certificate;
#   and, to show what TLS costs, the embedded server's and nginx's plain ports.
# Every TLS run is TLS 1.3 with TLS_AES_128_GCM_SHA256: nginx allows only that suite and wrk
# offers only that one (through an OpenSSL configuration of its own), so neither server can
# choose a cheaper or dearer one; the suite each server settled on is printed as a check.
# Runs alternate between the servers; the best of each is compared.
# Usage: bench/vnhttp_tls_bench.sh [BUILD_DIR]   (default: a Release build in build-bench;
#   a given BUILD_DIR needs the targets vnhttp and httpserver_bench, -DVN_BUILD_BENCH=ON)
#   VN_BENCH_SECONDS (default 5) and VN_BENCH_ROUNDS (default 2) bound the runs.
# Every program run is bounded by `timeout`; everything started is stopped on exit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/bench_common.sh
source "$root/bench/bench_common.sh"
bench_build "${1:-}" vnhttp httpserver_bench
vnhttp=$build/tools/vnhttp
embedded=$build/bench/httpserver_bench
for prog in "$vnhttp" "$embedded"; do
    [ -x "$prog" ] || { echo "bench: no $prog" >&2; exit 1; }
done
duration=${VN_BENCH_SECONDS:-5}
rounds=${VN_BENCH_ROUNDS:-2}
suite=TLS_AES_128_GCM_SHA256

bench_begin vnhttp-tls-bench

# A throwaway authority and a leaf for 127.0.0.1 and localhost (P-256), made afresh.
pki() {
    local ec=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
    openssl req -x509 "${ec[@]}" -keyout "$work/ca.key" -out "$work/ca.pem" -days 2 \
        -subj "/O=vnbase bench/CN=bench authority" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign"
    openssl req "${ec[@]}" -keyout "$work/leaf.key" -out "$work/leaf.csr" \
        -subj "/O=vnbase bench/CN=localhost"
    printf '%s\n' "subjectAltName=DNS:localhost,IP:127.0.0.1" \
        "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
        "extendedKeyUsage=serverAuth" >"$work/leaf.ext"
    openssl x509 -req -in "$work/leaf.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
        -CAcreateserial -days 2 -sha256 -extfile "$work/leaf.ext" -out "$work/leaf.pem"
    cat "$work/leaf.pem" "$work/ca.pem" >"$work/chain.pem"
}
pki >/dev/null 2>"$work/pki.log" || { cat "$work/pki.log" >&2; exit 1; }
chmod 644 "$work/leaf.key"

# The client side's pin: OpenSSL reads this at start-up and applies it to every context.
cat >"$work/client-openssl.cnf" <<CONF
openssl_conf = init
[init]
ssl_conf = ssl
[ssl]
system_default = defaults
[defaults]
MinProtocol = TLSv1.3
Ciphersuites = $suite
CONF

mkdir -p "$work/www"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
: >"$work/www/big.bin"  # httpserver_bench's /file; not fetched here
chmod 755 "$work/www"
chmod 644 "$work/www/"*

ng_plain=$(free_port)
ng_tls=$(free_port)
cat >"$work/nginx.conf" <<CONF
$([ "$(id -u)" = 0 ] && echo "user root root;")
worker_processes auto;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000;
    client_body_temp_path $work/body; proxy_temp_path $work/proxy;
    fastcgi_temp_path $work/fcgi; uwsgi_temp_path $work/uwsgi; scgi_temp_path $work/scgi;
    server { listen 127.0.0.1:$ng_plain; root $work/www; }
    server {
        listen 127.0.0.1:$ng_tls ssl;
        root $work/www;
        ssl_certificate $work/chain.pem;
        ssl_certificate_key $work/leaf.key;
        ssl_protocols TLSv1.3;
        ssl_conf_command Ciphersuites $suite;
    }
}
CONF
nginx -e "$work/error.log" -p "$work" -c "$work/nginx.conf" -g 'daemon off;' &
pids+=($!)
wait_port "$ng_plain"
wait_port "$ng_tls"

"$embedded" "$work/www" "$work/chain.pem" "$work/leaf.key" >"$work/embedded.out" &
pids+=($!)
for _ in $(seq 1 100); do
    [ "$(wc -l <"$work/embedded.out")" -ge 2 ] && break
    sleep 0.05
done
em_plain=$(sed -n 1p "$work/embedded.out")
em_tls=$(sed -n 2p "$work/embedded.out")
[ -n "$em_tls" ] || { echo "bench: httpserver_bench did not listen with TLS" >&2; exit 1; }

# vnhttp serve with a certificate, when the tool takes one.
vn_tls=""
if "$vnhttp" serve --help 2>&1 | grep -q -- '--cert'; then
    "$vnhttp" serve "$work/www" --port 0 --cert "$work/chain.pem" --key "$work/leaf.key" \
        >"$work/serve.out" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 1 100); do
        grep -q '127.0.0.1:[0-9]' "$work/serve.out" && break
        sleep 0.05
    done
    vn_tls=$(grep -o '127.0.0.1:[0-9]*' "$work/serve.out" | head -1 | cut -d: -f2 || true)
    [ -n "$vn_tls" ] || { echo "bench: vnhttp serve --cert printed no port" >&2; exit 1; }
else
    echo "vnhttp serve takes no --cert yet: its row is left out"
fi

# Each server must give the file, verified against the authority, before it is measured;
# and the suite it settles on with the pinned client is shown.
check() {  # name, URL
    if ! timeout 20 curl -sS --cacert "$work/ca.pem" "$2/1k.bin" -o "$work/check.bin" ||
        ! cmp -s "$work/check.bin" "$work/www/1k.bin"; then
        echo "bench: $1 did not serve the file at $2" >&2
        exit 1
    fi
    case $2 in
        https://*)
            local hostport=${2#https://}
            local got
            got=$(OPENSSL_CONF=$work/client-openssl.cnf timeout 20 openssl s_client \
                -connect "$hostport" -CAfile "$work/ca.pem" </dev/null 2>/dev/null |
                grep -m1 -o 'TLSv1.3, Cipher is [A-Z0-9_]*' || true)
            printf '  %-10s %s\n' "$1" "${got:-no TLS 1.3 handshake with the pinned client}"
            [ -n "$got" ] || exit 1
            ;;
    esac
}
echo "suites with the pinned client:"
check nginx "https://127.0.0.1:$ng_tls"
check embedded "https://127.0.0.1:$em_tls"
[ -z "$vn_tls" ] || check vnhttp "https://127.0.0.1:$vn_tls"
check nginx-plain "http://127.0.0.1:$ng_plain"
check emb-plain "http://127.0.0.1:$em_plain"

rps() {  # wrk requests per second against a URL (after a one-second warm-up)
    OPENSSL_CONF=$work/client-openssl.cnf timeout 30 wrk -t2 -c50 -d1s "$1" >/dev/null 2>&1 ||
        true
    OPENSSL_CONF=$work/client-openssl.cnf timeout $((duration + 30)) \
        wrk -t2 -c50 -d"${duration}s" "$1" >"$work/wrk.out" 2>&1 || true
    if grep -qE 'Socket errors|Non-2xx' "$work/wrk.out"; then
        echo "bench: wrk against $1: $(grep -E 'Socket errors|Non-2xx' "$work/wrk.out")" >&2
    fi
    awk '/Requests\/sec:/ { print $2; found = 1 } END { if (!found) print 0 }' "$work/wrk.out"
}
best() { awk -v a="$1" -v b="$2" 'BEGIN { print (b > a) ? b : a }'; }

declare -A url=([nginx]="https://127.0.0.1:$ng_tls" [embedded]="https://127.0.0.1:$em_tls"
    [nginx-plain]="http://127.0.0.1:$ng_plain" [emb-plain]="http://127.0.0.1:$em_plain")
order=(nginx embedded nginx-plain emb-plain)
if [ -n "$vn_tls" ]; then
    url[vnhttp]="https://127.0.0.1:$vn_tls"
    order=(nginx vnhttp embedded nginx-plain emb-plain)
fi
declare -A top
for name in "${order[@]}"; do top[$name]=0; done
echo "wrk -t2 -c50 -d${duration}s on a 1 KiB file, $rounds rounds"
for round in $(seq 1 "$rounds"); do
    line="round $round:"
    for name in "${order[@]}"; do
        r=$(rps "${url[$name]}/1k.bin")
        top[$name]=$(best "${top[$name]}" "$r")
        line="$line $name $r"
    done
    echo "$line"
done

row() {  # label, server, anchor, target ("" for none)
    awk -v l="$1" -v v="$2" -v a="$3" -v t="$4" 'BEGIN {
        r = (a > 0) ? v / a : 0
        verdict = (t == "") ? "" : ((r >= t) ? "met" : "BELOW")
        printf "%-40s %12.0f %12.0f %7.2f %7s  %s\n", l, v, a, r, (t == "") ? "-" : ">=" t, verdict
    }'
}
printf '\n%-40s %12s %12s %7s %7s\n' "requests/s, best of $rounds" "server" "anchor" "ratio" \
    "target"
if [ -n "$vn_tls" ]; then
    row "vnhttp serve https (nginx https)" "${top[vnhttp]}" "${top[nginx]}" 0.60
fi
row "embedded server https (nginx https)" "${top[embedded]}" "${top[nginx]}" 0.60
row "embedded server http (nginx http)" "${top[emb-plain]}" "${top[nginx-plain]}" ""
row "embedded server https (its http)" "${top[embedded]}" "${top[emb-plain]}" ""
row "nginx https (its http)" "${top[nginx]}" "${top[nginx-plain]}" ""
