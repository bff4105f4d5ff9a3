#!/usr/bin/env bash
# Writes the seed corpus of http_request_fuzz into $1: the requests the page sends (pipelined,
# with bodies, query texts and percent escapes), foreign hosts and origins, HTTP/1.0 and
# Connection: close, lengths over the bound and a header line with no colon.
set -euo pipefail
out=$1
mkdir -p "$out"
n=0
seed() { printf '%b' "$1" > "$out/seed_$n"; n=$((n + 1)); }
seed 'GET / HTTP/1.1\r\nHost: 127.0.0.1:8765\r\n\r\n'
seed 'GET /api/thumb?path=%2Fdata%2Fa%20b.jpg&w=256&w=1 HTTP/1.1\r\nHost: localhost:8765\r\n\r\nGET /api/job HTTP/1.1\r\nHost: localhost:8765\r\n\r\n'
seed 'POST /api/argv HTTP/1.1\r\nHost: 127.0.0.1:8765\r\nOrigin: http://127.0.0.1:8765\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: 20\r\n\r\n{"input": ["a.jpg"]}'
seed 'POST /api/run HTTP/1.0\r\nHost: evil.example\r\nContent-Length: 2\r\n\r\n{}'
seed 'GET / HTTP/1.1\r\nHost: 127.0.0.1:8765\r\nOrigin: http://localhost:9999\r\nConnection: close\r\n\r\n'
seed 'POST /api/run HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n'
seed 'POST /api/run HTTP/1.1\r\nContent-Length: +12\r\nno colon here\r\n : empty name\r\n\r\n{"gsd": 0.1}'
seed 'GET /%e2%82%ac%zz%4 HTTP/1.1\r\n\r\nGET\xe2\x80\x83/next\xc2\xa0HTTP/1.1\n\n'
bash "$(dirname "$0")/regress_seeds.sh" http_request_fuzz "$out"
