#!/bin/sh
# test-deps.sh DIR PACKAGE VERSION: installs PACKAGE@VERSION from npm into
# DIR/node_modules unless that version is there already. Test-only: never
# a browser (puppeteer-core fetches none, and downloads stay off).
set -eu
dir=$1 package=$2 version=$3
manifest=$dir/node_modules/$package/package.json
if [ -f "$manifest" ] && grep -q "\"version\": \"$version\"" "$manifest"; then
  echo "$package $version: already in $dir"
  exit 0
fi
mkdir -p "$dir"
[ -f "$dir/package.json" ] || printf '{ "name": "vemk-test-deps", "private": true }\n' >"$dir/package.json"
cd "$dir"
PUPPETEER_SKIP_DOWNLOAD=1 NPM_CONFIG_UPDATE_NOTIFIER=false \
  npm install --no-audit --no-fund --silent --save-exact "$package@$version"
echo "$package $version: installed in $dir"
