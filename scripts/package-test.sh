#!/usr/bin/env bash
# Builds the Debian packages from a clean checkout of HEAD, checks them with
# lintian (no error, no warning), then installs, checks and purges them
# (tests/package). Ends with "N passed, N failed". Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh dpkg-dev debhelper lintian

out=$PWD/build/deb
rm -rf "$out"
mkdir -p "$out"
git clone -q --no-hardlinks . "$out/patrold"
(cd "$out/patrold" && dpkg-buildpackage -us -uc -b)
lintian --fail-on error,warning --info "$out"/*.changes

PATROLD_DEB_DIR=$out /usr/bin/python3 -m pytest -p no:cacheprovider -q \
  --junitxml="$out/results/pytest.xml" tests/package/check_package.py || true
python3 scripts/summarize-tests.py "$out/results"
