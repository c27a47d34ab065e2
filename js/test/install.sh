#!/bin/sh
# install.sh TARBALL README DIR FILE HASHES: installs the packed package
# into an empty project in DIR, as a user would, runs the README's Node
# example on FILE there, and checks what it wrote against the native
# program's hash of FILE's compressed file in HASHES.
set -eu
tarball=$1 readme=$2 dir=$3 file=$4 hashes=$5
rm -rf "$dir" && mkdir -p "$dir"
cd "$dir"
printf '{ "name": "try-vemk", "private": true, "type": "module" }\n' >package.json
# The package has no dependencies: nothing is fetched.
NPM_CONFIG_UPDATE_NOTIFIER=false npm install --offline --no-audit --no-fund --silent "$tarball"
# The first js block after the "## Node" heading.
sed -n '/^## Node$/,/^## /p' "$readme" | sed -n '/^```js$/,/^```$/p' | sed '1d;$d' >roundtrip.mjs
[ -s roundtrip.mjs ]
cp "$file" sample
node roundtrip.mjs sample
grep -qx "$(sha256sum sample.vemk | cut -d' ' -f1)  $(basename "$file").vemk" "$hashes"
