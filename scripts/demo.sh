#!/bin/bash
# The demonstration: the library's HTTP client and server, through the vnhttp tool, moving
# a 64 MiB file over loopback. It serves a temporary directory with `vnhttp serve`,
# downloads the file with the progress bar, interrupts a second download on a slowed link
# and resumes it with -c, checks both copies by MD5 through the library, uploads the file
# back with -F, downloads it once more through a tinyproxy it starts itself, then serves it
# over https with a throwaway authority made by the openssl command line and downloads it
# with that authority trusted (and, refused, without it), and ends with a summary table.
# It cleans up what it started, so it can run again at once.
#   scripts/demo.sh                                            the demonstration
#   scripts/demo.sh --sockets [http|socks5 HOST PORT [USER PASSWORD]]
#                                                              the socket-level demo program
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
build=$root/build-demo
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVN_BUILD_TESTS=OFF \
    >/dev/null

if [ "${1:-}" = "--sockets" ]; then
    shift
    cmake --build "$build" -j 2 --target vnbase_demo
    exec "$build/demo/vnbase_demo" "$@"
fi

echo "demo: building vnhttp in ${build#"$root"/}"
cmake --build "$build" -j 2 --target vnhttp >/dev/null
vnhttp=$build/tools/vnhttp

work=$(mktemp -d "${TMPDIR:-/tmp}/vnhttp-demo.XXXXXX")
pids=()  # background programs; vnhttp stops cleanly on SIGINT, the others on SIGTERM
cleanup() {
    for pid in "${pids[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
now() { date +%s.%N; }
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'; }
rows=()
row() {  # step, result, bytes, seconds
    local rate="-"
    if [ "$3" != "-" ]; then
        rate=$(awk -v b="$3" -v s="$4" 'BEGIN { if (s > 0) printf "%.0f MiB/s", b / 1048576 / s; else print "-" }')
    fi
    rows+=("$(printf '%-40s %-10s %10s %8s %12s' "$1" "$2" \
        "$([ "$3" = "-" ] && echo - || mib "$3")" "$([ "$4" = "-" ] && echo - || printf '%.2f s' "$4")" "$rate")")
}
# A loopback port of the kernel's choice, free a moment ago.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# Waits until port $1 accepts connections while process $2 lives; 1 when it never did.
wait_port() {
    for _ in $(seq 1 200); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        kill -0 "$2" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}
# Starts tinyproxy on a free port (a few tries: the port may be taken meanwhile); sets
# proxy_port.
start_tinyproxy() {
    for _ in 1 2 3 4 5; do
        proxy_port=$(free_port)
        cat >"$work/tinyproxy.conf" <<CONF
Port $proxy_port
Listen 127.0.0.1
Timeout 30
MaxClients 5
Allow 127.0.0.1
LogLevel Error
CONF
        tinyproxy -d -c "$work/tinyproxy.conf" >/dev/null 2>&1 &
        pids+=($!)
        wait_port "$proxy_port" $! && return 0
    done
    echo "demo: tinyproxy did not start" >&2
    return 1
}
# A throwaway authority and a certificate it signed for 127.0.0.1 and localhost (P-256
# keys, valid for a day) in $work/pki: ca.pem for the client, leaf.chain and leaf.key for
# the server.
make_pki() {
    local pki=$work/pki
    mkdir -p "$pki"
    (
        cd "$pki"
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key \
            -out ca.pem -days 1 -subj "/CN=vnhttp demo authority" \
            -addext "basicConstraints=critical,CA:TRUE" \
            -addext "keyUsage=critical,keyCertSign,cRLSign"
        openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout leaf.key \
            -out leaf.csr -subj "/CN=localhost"
        printf '%s\n' "subjectAltName=DNS:localhost,IP:127.0.0.1" \
            "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
            "extendedKeyUsage=serverAuth" >leaf.ext
        openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -set_serial 2 -days 1 \
            -extfile leaf.ext -out leaf.pem
        cat leaf.pem ca.pem >leaf.chain  # the server's certificate, then its authority's
    ) >"$work/openssl.log" 2>&1 || {
        cat "$work/openssl.log" >&2
        echo "demo: openssl could not make the certificates" >&2
        return 1
    }
}
# Waits until `vnhttp serve` has written the line naming its URL into file $1.
wait_serving() {
    for _ in $(seq 1 100); do
        grep -q '://127.0.0.1:' "$1" && return 0
        sleep 0.05
    done
    echo "demo: vnhttp serve did not start" >&2
    return 1
}

mkdir -p "$work/srv" "$work/got"
head -c $((64 * 1024 * 1024)) /dev/urandom >"$work/srv/big.bin"
size=$(size_of "$work/srv/big.bin")

say "vnhttp serve $work/srv"
"$vnhttp" serve "$work/srv" --port 0 --upload >"$work/serve.out" 2>"$work/serve.log" &
pids+=($!)
wait_serving "$work/serve.out"
cat "$work/serve.out"
url=$(grep -o 'http://127.0.0.1:[0-9]*' "$work/serve.out")

say "1. vnhttp get $url/big.bin -o got/copy1.bin"
t0=$(now)
"$vnhttp" get --timeout 10 "$url/big.bin" -o "$work/got/copy1.bin"
row "1 download" ok "$size" "$(awk -v a="$t0" -v b="$(now)" 'BEGIN { print b - a }')"

# The second download goes through a relay that paces the answer at 16 MiB/s, so that it
# can be interrupted part way.
say "2. the same download on a slowed link, interrupted with Ctrl-C"
python3 -u - "${url##*:}" $((16 * 1024 * 1024)) >"$work/relay.port" <<'PY' &
import socket, sys, threading, time
upstream, rate = int(sys.argv[1]), int(sys.argv[2])
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(4)
print(server.getsockname()[1], flush=True)
def pump(src, dst, pace):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            dst.sendall(data)
            if pace:
                time.sleep(len(data) / pace)
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
while True:
    client, _ = server.accept()
    peer = socket.create_connection(("127.0.0.1", upstream))
    threading.Thread(target=pump, args=(client, peer, 0), daemon=True).start()
    threading.Thread(target=pump, args=(peer, client, rate), daemon=True).start()
PY
pids+=($!)
for _ in $(seq 1 100); do [ -s "$work/relay.port" ] && break; sleep 0.05; done
slow=http://127.0.0.1:$(cat "$work/relay.port")
echo "vnhttp get $slow/big.bin -o got/copy2.bin   (Ctrl-C after 16 MiB)"
t0=$(now)
"$vnhttp" get --timeout 10 "$slow/big.bin" -o "$work/got/copy2.bin" &
getpid=$!
for _ in $(seq 1 600); do
    [ "$(size_of "$work/got/copy2.bin")" -ge $((16 * 1024 * 1024)) ] && break
    sleep 0.05
done
kill -INT "$getpid"
status=0
wait "$getpid" || status=$?
cut=$(size_of "$work/got/copy2.bin")
row "2 slowed download, Ctrl-C" "exit $status" "$cut" "$(awk -v a="$t0" -v b="$(now)" 'BEGIN { print b - a }')"

say "3. vnhttp get -c $url/big.bin -o got/copy2.bin   (resumes at $(mib "$cut"))"
t0=$(now)
"$vnhttp" get --timeout 10 -c "$url/big.bin" -o "$work/got/copy2.bin"
row "3 resume with -c" ok $((size - cut)) "$(awk -v a="$t0" -v b="$(now)" 'BEGIN { print b - a }')"

say "4. vnhttp md5 (the library's MD5)"
(cd "$work" && "$vnhttp" md5 srv/big.bin got/copy1.bin got/copy2.bin) | tee "$work/md5.txt"
sums=$(awk '{ print $1 }' "$work/md5.txt" | sort -u | wc -l)
row "4 MD5 of both copies" "$([ "$sums" -eq 1 ] && echo equal || echo DIFFER)" - -

say "5. vnhttp post $url/ -F file=@got/copy2.bin"
t0=$(now)
answer=$("$vnhttp" post --timeout 10 "$url/" -F "file=@$work/got/copy2.bin")
echo "$answer"
stored=$(sed -n 's/^stored //p' <<<"$answer")
same=$(cmp -s "$work/srv/big.bin" "$work/srv/$stored" && echo ok || echo DIFFER)
row "5 upload back with -F ($stored)" "$same" "$size" "$(awk -v a="$t0" -v b="$(now)" 'BEGIN { print b - a }')"

say "6. vnhttp get --proxy http://127.0.0.1:PORT (a tinyproxy started here)"
start_tinyproxy
t0=$(now)
"$vnhttp" get --timeout 10 --proxy "http://127.0.0.1:$proxy_port" "$url/big.bin" -o "$work/got/copy3.bin"
elapsed=$(awk -v a="$t0" -v b="$(now)" 'BEGIN { print b - a }')
same=$(cmp -s "$work/srv/big.bin" "$work/got/copy3.bin" && echo ok || echo DIFFER)
row "6 download through tinyproxy" "$same" "$size" "$elapsed"

say "7. vnhttp serve --cert --key (an authority made here with openssl), get https:// --cacert"
make_pki
"$vnhttp" serve "$work/srv" --port 0 --cert "$work/pki/leaf.chain" --key "$work/pki/leaf.key" \
    >"$work/serve-tls.out" 2>"$work/serve-tls.log" &
pids+=($!)
wait_serving "$work/serve-tls.out"
cat "$work/serve-tls.out"
tls_url=$(grep -o 'https://127.0.0.1:[0-9]*' "$work/serve-tls.out")
echo "vnhttp get --cacert pki/ca.pem $tls_url/big.bin -o got/copy4.bin"
t0=$(now)
"$vnhttp" get --timeout 10 --cacert "$work/pki/ca.pem" "$tls_url/big.bin" -o "$work/got/copy4.bin"
elapsed=$(awk -v a="$t0" -v b="$(now)" 'BEGIN { print b - a }')
same=$(cmp -s "$work/srv/big.bin" "$work/got/copy4.bin" && echo ok || echo DIFFER)
row "7 https download, --cacert" "$same" "$size" "$elapsed"

say "8. the same without --cacert: the certificate is checked, and refused"
echo "vnhttp get -s $tls_url/big.bin -o got/copy5.bin"
status=0
"$vnhttp" get -s --timeout 10 "$tls_url/big.bin" -o "$work/got/copy5.bin" || status=$?
echo "exit status $status$([ -e "$work/got/copy5.bin" ] && echo ", got/copy5.bin written" || echo ", nothing written")"
row "8 https without --cacert" "exit $status" - -

say "what vnhttp serve logged"
cat "$work/serve.log"
say "what vnhttp serve --cert --key logged"
cat "$work/serve-tls.log"

say "summary"
printf '%-40s %-10s %10s %8s %12s\n' step result bytes time rate
printf '%s\n' "${rows[@]}"
