#!/usr/bin/env bash
# Judges the server's HTTPS with testssl.sh (Debian package testssl.sh), on
# loopback only, and fails when it rates anything HIGH or CRITICAL.
#
#   scripts/testssl.sh            the full run (a few minutes)
#   FAST=1 scripts/testssl.sh     protocols, server defaults, cipher order and
#                                 the known weaknesses only (about a minute)
#
# It starts a copy of the program headless in a temporary folder of its own
# (settings, data folder with the made certificate, published folder), with
# HTTPS on a free port of 127.0.0.1, runs testssl.sh against it, prints the
# findings rated LOW or worse and writes the whole JSON report to
# build/testssl.json. Not part of CI: the full run takes minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# shellcheck source=scripts/lib/install.sh
source scripts/lib/install.sh
vt_install_packages cmake ninja-build g++ pkg-config libsodium-dev libssl-dev qt6-base-dev libxcb1-dev \
  libqrencode-dev media-types testssl.sh python3
program=${VELTRANA_BIN:-}
if [[ -z $program ]]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target veltrana-webserver
  program=$root/build/bin/veltrana-webserver
fi

work=$(mktemp -d /tmp/vt-testssl-XXXXXX)
server_pid=
cleanup() {
  [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port)
https_port=$(free_port)
mkdir -p "$work/config" "$work/data" "$work/site" "$work/pki"
echo "testssl" >"$work/site/index.html"
# The certificate: what the judge rates is the server's TLS, not whether a
# visitor trusts the certificate. A certificate the program makes for
# itself is self-signed and names no revocation list, which testssl.sh rates
# CRITICAL and HIGH by their nature (the visitor compares its fingerprint
# instead); so it gets a chain of a test CA of this run, which it is told
# to trust (--add-ca), with the same kind of key (ECDSA P-256).
# VT_TESTSSL_MADE=1 judges the made certificate instead.
settings_tls=""
add_ca=()
if [[ ${VT_TESTSSL_MADE:-0} != 1 ]]; then
  (
    cd "$work/pki"
    ec=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
    openssl req -x509 "${ec[@]}" -days 120 -subj "/CN=Veltrana testssl CA" -keyout ca.key -out ca.pem \
      -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
    openssl req "${ec[@]}" -subj /CN=localhost -keyout leaf.key -out leaf.csr 2>/dev/null
    printf '%s\n' "subjectAltName=DNS:localhost,IP:127.0.0.1" "keyUsage=critical,digitalSignature" \
      "extendedKeyUsage=serverAuth" "crlDistributionPoints=URI:http://127.0.0.1:$port/ca.crl" >ext.cnf
    openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 90 -sha256 -extfile ext.cnf \
      -out leaf.pem 2>/dev/null
    cat leaf.pem ca.pem >chain.pem
  )
  settings_tls="CertificateFile=$work/pki/chain.pem
KeyFile=$work/pki/leaf.key"
  add_ca=(--add-ca "$work/pki/ca.pem")
fi
cat >"$work/config/vtWebServer.ini" <<INI
[WebServer]
PubDir=$work/site
Port=$port
ListenOn=127.0.0.1
HTTPS=1
HTTPSPort=$https_port
$settings_tls
INI
XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data "$program" --headless 2>"$work/server.log" &
server_pid=$!
for _ in $(seq 100); do
  grep -q "(HTTPS)" "$work/server.log" 2>/dev/null && break
  sleep 0.1
done
grep -q "(HTTPS)" "$work/server.log" || { cat "$work/server.log"; echo "the server did not listen for HTTPS" >&2; exit 1; }

mkdir -p build
report=$root/build/testssl.json
rm -f "$report"
checks=()
[[ ${FAST:-0} == 1 ]] && checks=(--protocols --server-defaults --server-preference --vulnerable)
# --ip one: loopback only, never the machine's other addresses.
testssl --quiet --color 0 --warnings off --ip 127.0.0.1 --jsonfile "$report" "${add_ca[@]}" "${checks[@]}" \
  "localhost:$https_port" >"$work/testssl.txt" 2>&1 || true
[[ -s $report ]] || { cat "$work/testssl.txt"; echo "testssl.sh wrote no report" >&2; exit 1; }
python3 - "$report" <<'PY'
import json, sys
findings = json.load(open(sys.argv[1]))
order = {"CRITICAL": 4, "HIGH": 3, "MEDIUM": 2, "LOW": 1}
worst = 0
for f in findings:
    level = order.get(f.get("severity", ""), 0)
    if level:
        print("%-8s %-28s %s" % (f["severity"], f["id"], f.get("finding", "")))
    worst = max(worst, level)
print("testssl.sh: %d findings; worst rated %s" % (
    len(findings), [k for k, v in order.items() if v == worst][0] if worst else "OK/INFO"))
sys.exit(1 if worst >= 3 else 0)
PY
