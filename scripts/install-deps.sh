#!/usr/bin/env bash
# Installs every build, test and run-time dependency of veltaai from Debian's packages.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  # build and tests
  build-essential cmake ninja-build pkg-config git clang-format
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # support libraries
  nlohmann-json3-dev libcurl4-openssl-dev ca-certificates libyaml-cpp-dev libspdlog-dev libfmt-dev
  libcpp-httplib-dev libssl-dev libcli11-dev libstb-dev
  # database clients
  libpq-dev libpg-query-dev libmariadb-dev unixodbc-dev unixodbc libsqlite3-dev sqlite3
  # database servers and a real ODBC driver for the tests
  postgresql postgresql-client mariadb-server mariadb-client odbc-postgresql libsqliteodbc
  # the Python interpreter the kernel runs, with the analysis packages
  python3 python3-venv python3-pip python3-jinja2 python3-pandas python3-matplotlib
  python3-numpy python3-scipy python3-sklearn python3-statsmodels
  # sandboxing of the kernel (namespaces) and process tools used by tests
  bubblewrap util-linux iproute2 procps
  # the web page's test (Chromium driven by playwright-core from npm) and the load-balancer test
  chromium nginx
)
# Node.js and npm from Debian, unless the machine has them already (a Node.js from elsewhere
# carries its own npm, and Debian's npm package conflicts with it).
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

# playwright-core for the page test, pinned by its lock file; it never downloads a browser.
install_page_test() {
  local dir
  dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tests/server/page"
  (cd "$dir" && npm ci --no-audit --no-fund --silent)
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  install_page_test
  exit 0
fi

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
# Servers must not start on install: the tests run their own on loopback ports.
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | "${as_root[@]}" tee /usr/sbin/policy-rc.d >/dev/null
  "${as_root[@]}" chmod +x /usr/sbin/policy-rc.d
  trap '"${as_root[@]}" rm -f /usr/sbin/policy-rc.d' EXIT
fi
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "install-deps: installed ${#missing[@]} packages"
install_page_test
