#!/usr/bin/env bash
# Sets everything up (packages, build, install) and runs the whole test suite
# against the freshly built module.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"
cd "$here"
exec /usr/bin/python3 -m pytest -q tests "$@"
