#!/usr/bin/env bash
# An HTTPS web hook server on 127.0.0.1 for the end-to-end tests: a test
# certificate authority and a server certificate for 127.0.0.1 made afresh
# with openssl (named as IP and as DNS 127.0.0.1: Wine 8 matches only DNS
# names), and a python3 server that records each POST's path and body as
# one line "path|body" and answers 200.
#   tls-hook.sh run <dir> command...
# hands the command HARBINEL_TLS_PORT, HARBINEL_TLS_CA (the authority's DER
# file) and HARBINEL_TLS_OUT (the record), both as Windows Z: paths for
# Wine, and passes back its exit code.
set -euo pipefail

[[ "${1:-}" == run && $# -ge 3 ]] || { echo "usage: $0 run <dir> command..." >&2; exit 2; }
dir="$2"
shift 2
rm -rf "$dir"
mkdir -p "$dir"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Harbinel Test CA" \
    -keyout "$dir/ca.key" -out "$dir/ca.pem" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    >/dev/null 2>&1
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout "$dir/server.key" \
    -out "$dir/server.csr" >/dev/null 2>&1
printf 'subjectAltName=IP:127.0.0.1,DNS:127.0.0.1\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n' \
    >"$dir/server.ext"
openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial \
    -days 2 -extfile "$dir/server.ext" -out "$dir/server.pem" >/dev/null 2>&1
openssl x509 -in "$dir/ca.pem" -outform DER -out "$dir/ca.der"
: >"$dir/requests.txt"

cat >"$dir/server.py" <<'PY'
import http.server, ssl, sys
folder = sys.argv[1]
class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with open(folder + "/requests.txt", "ab") as out:
            out.write(self.path.encode() + b"|" + body + b"\n")
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hook)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(folder + "/server.pem", folder + "/server.key")
context.maximum_version = ssl.TLSVersion.TLSv1_2
server.socket = context.wrap_socket(server.socket, server_side=True)
with open(folder + "/port", "w") as f:
    f.write(str(server.server_address[1]))
server.serve_forever()
PY
python3 "$dir/server.py" "$dir" &
server=$!
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [[ -s "$dir/port" ]] && break; sleep 0.1; done
[[ -s "$dir/port" ]] || { echo "tls-hook: the server did not start" >&2; exit 1; }

HARBINEL_TLS_PORT="$(cat "$dir/port")" \
HARBINEL_TLS_CA="Z:${dir//\//\\}\\ca.der" \
HARBINEL_TLS_OUT="Z:${dir//\//\\}\\requests.txt" \
    "$@"
