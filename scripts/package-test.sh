#!/usr/bin/env bash
# Builds the Debian packages from a clean checkout of HEAD, checks them with
# lintian (no error, no warning), then installs, checks and purges them
# (tests/package). Ends with "N passed, N failed". Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for p in dpkg-dev debhelper lintian; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
scripts/install-deps.sh

out=$PWD/build/deb
rm -rf "$out"
mkdir -p "$out"
git clone -q --no-hardlinks . "$out/patrold"
(cd "$out/patrold" && dpkg-buildpackage -us -uc -b)
lintian --fail-on error,warning --info "$out"/*.changes

PATROLD_DEB_DIR=$out /usr/bin/python3 -m pytest -p no:cacheprovider -q \
  --junitxml="$out/results/pytest.xml" tests/package/check_package.py || true
python3 scripts/summarize-tests.py "$out/results"
