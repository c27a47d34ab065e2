#!/bin/sh
# test-deps.sh DIR NAME@VERSION...: installs each package at its version
# from npm into DIR/node_modules unless that version is there already.
# Test-only: never a browser (puppeteer-core fetches none, and downloads
# stay off).
set -eu
dir=$1
shift
wanted=
for package in "$@"; do
  name=${package%@*} version=${package##*@}
  manifest=$dir/node_modules/$name/package.json
  if ! [ -f "$manifest" ] || ! grep -q "\"version\": \"$version\"" "$manifest"; then
    wanted="$wanted $package"
  fi
done
if [ -z "$wanted" ]; then
  echo "already in $dir: $*"
  exit 0
fi
mkdir -p "$dir"
[ -f "$dir/package.json" ] || printf '{ "name": "vemk-test-deps", "private": true }\n' >"$dir/package.json"
cd "$dir"
# shellcheck disable=SC2086
PUPPETEER_SKIP_DOWNLOAD=1 NPM_CONFIG_UPDATE_NOTIFIER=false \
  npm install --no-audit --no-fund --silent --save-exact $wanted
echo "installed in $dir:$wanted"
