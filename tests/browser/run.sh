#!/usr/bin/env bash
# Runs the browser bridge's end-to-end test: installs playwright-core from the committed
# lock file into BUILD_DIR/browser-test (once), then drives headless Chromium.
# Usage: tests/browser/run.sh SOURCE_DIR BUILD_DIR
# A missing Chromium is a failure, not a skip: scripts/setup installs it.
set -euo pipefail
source_dir=$1
build_dir=$2
modules="$build_dir/browser-test"
if [ ! -x /usr/bin/chromium ]; then
  echo "FAIL /usr/bin/chromium is missing: run scripts/setup" >&2
  exit 1
fi
"$source_dir/tests/browser/install_modules.sh" "$source_dir" "$modules"
exec node "$source_dir/tests/browser/bridge_e2e.js" "$source_dir" "$build_dir" "$modules"
