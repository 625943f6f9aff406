#!/usr/bin/env bash
# Installs the browser tests' npm packages (playwright-core, puppeteer-core) from the
# committed lock file into MODULES_DIR, once per version of the lock file.
# Usage: tests/browser/install_modules.sh SOURCE_DIR MODULES_DIR
set -euo pipefail
source_dir=$1
modules=$2
mkdir -p "$modules"
if ! cmp -s "$source_dir/tests/browser/package-lock.json" "$modules/package-lock.json" ||
   [ ! -d "$modules/node_modules/playwright-core" ] || [ ! -d "$modules/node_modules/puppeteer-core" ]; then
  cp "$source_dir/tests/browser/package.json" "$source_dir/tests/browser/package-lock.json" "$modules/"
  npm ci --prefix "$modules" --no-audit --no-fund --loglevel=error
fi
