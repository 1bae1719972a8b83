#!/usr/bin/env bash
# Makes sure the Debian packages the build needs are present: installs the missing ones when
# running as root, otherwise stops with their names.
set -euo pipefail

needed=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev)
# The Python module's build and tests.
needed+=(pybind11-dev python3-dev python3-pytest)
# The peers of bench/peer_bench.cpp; the library itself needs neither.
needed+=(libsqlite3-dev liblmdb-dev)
# brindle serve: its HTTP server, and the browser its page is tested in.
needed+=(libcpp-httplib-dev chromium chromium-driver python3-selenium)
# brindle sync: its etcd client, and the etcd server its tests and benchmark start.
needed+=(libcurl4-openssl-dev etcd-server etcd-client)
# clang checks the lock annotations (scripts/test.sh --thread-safety).
needed+=(clang-14)
# help2man makes the tool's manual page; groff renders it in the install test.
needed+=(help2man groff-base)
missing=()
for package in "${needed[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "Installing missing packages: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
else
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
