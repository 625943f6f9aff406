#!/usr/bin/env bash
# Type-checks the sample page against the page library's declarations: installs TypeScript
# from browser/package-lock.json into BUILD_DIR/page-types (once per version of the lock
# file; npm's cache serves it offline afterwards), then runs tsc --noEmit.
# Usage: tests/docs/typecheck.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1
modules=$2/page-types
mkdir -p "$modules"
if ! cmp -s "$source_dir/browser/package-lock.json" "$modules/package-lock.json" ||
   [ ! -x "$modules/node_modules/.bin/tsc" ]; then
  cp "$source_dir/browser/package.json" "$source_dir/browser/package-lock.json" "$modules/"
  npm ci --prefix "$modules" --no-audit --no-fund --loglevel=error
fi
"$modules/node_modules/.bin/tsc" --noEmit -p "$source_dir/examples/page/tsconfig.json"
echo "tsc: examples/page/page.js agrees with browser/kscapi.d.ts"
