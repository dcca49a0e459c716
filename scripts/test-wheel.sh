#!/usr/bin/env bash
# Builds the wheel, installs it into a fresh virtual environment that sees
# Debian's packages (cv2, NumPy, SciPy...), and runs the test suite against that
# installed copy, the qel-inspect command included. Also checks that a second
# build, from a bare copy of the repository's files, holds the same files, and
# that uninstalling leaves the environment as it was. Nothing is fetched: pip is
# given no index. Arguments go to pytest.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
py=/usr/bin/python3
work=$(mktemp -d /tmp/qel-wheel.XXXXXX)
trap 'rm -rf "$work"' EXIT
# Zip entries dated from the last commit, so equal inputs give equal bytes.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct)}

step() { printf '\n== %s (%ss)\n' "$1" "$SECONDS"; }
fail() { printf 'test-wheel: %s\n' "$1" >&2; exit 1; }

build_wheel() {  # source folder, output folder
  if ! (cd "$1" && $py -m build --wheel --no-isolation --outdir "$2" . >"$2.log" 2>&1); then
    cat "$2.log" >&2
    fail "the wheel did not build in $1 (log above)"
  fi
  ls "$2"/*.whl
}

# The wheel's files, or with --record its RECORD (each file's hash and size).
wheel_list() {
  $py - "$@" <<'PY'
import sys, zipfile
wheel = zipfile.ZipFile(sys.argv[-1])
names = sorted(wheel.namelist())
if "--record" in sys.argv:
    names = sorted(wheel.read(next(n for n in names if n.endswith(".dist-info/RECORD"))).decode().splitlines())
print(*names, sep="\n")
PY
}

step "build the wheel from the checkout"
wheel=$(build_wheel "$here" "$work/dist")
echo "$wheel"

step "build it again from a bare copy of the repository's files"
mkdir "$work/src"
(cd "$here" && git ls-files -z --cached --others --exclude-standard | tar --null -T - -c) | tar -x -C "$work/src"
again=$(build_wheel "$work/src" "$work/dist-again")
wheel_list "$wheel" >"$work/files"
wheel_list "$again" >"$work/files-again"
diff -u "$work/files" "$work/files-again" || fail "the two builds hold different files"
if cmp -s "$wheel" "$again"; then
  echo "same $(wc -l <"$work/files") files, identical bytes"
else
  # Equal file lists are the promise; say which contents differ, for a look.
  echo "same $(wc -l <"$work/files") files; contents differ:"
  diff <(wheel_list --record "$wheel") <(wheel_list --record "$again") | grep '^[<>]' || true
fi

step "install it into a fresh virtual environment with Debian's packages"
$py -m venv --system-site-packages "$work/venv"
vpy=$work/venv/bin/python
# Compiled caches of other packages come and go; anything else must not.
venv_files() { (cd "$work/venv" && find . -name __pycache__ -prune -o -print | LC_ALL=C sort); }
venv_files >"$work/venv-before"
"$vpy" -m pip install --no-index --disable-pip-version-check --no-cache-dir -q "$wheel"

step "the installed copy, its metadata and its command"
cd "$work"
"$vpy" -c 'import importlib.metadata as m, qel_cv; print("qel-cv", m.version("qel-cv"), qel_cv.__file__)'
"$work/venv/bin/qel-inspect" --help >/dev/null
mkdir frames
cp "$here"/examples/frames/dark/frames/{good_01,gap_in_bar,no_label}.jpg frames/
status=0
"$work/venv/bin/qel-inspect" run "$here/examples/frames/dark/recipe.toml" frames -o run --workers 2 || status=$?
[ "$status" -eq 2 ] || fail "qel-inspect run ended with status $status, not 2 (a frame with no label)"
[ "$(wc -l <run/results.jsonl)" -eq 3 ] && [ -s run/report.html ] && [ -s run/marked/gap_in_bar.png ] ||
  fail "qel-inspect run did not write its results, report and marked picture"

step "the test suite against the installed copy"
cd "$here"
QEL_CV_TEST_INSTALLED=1 "$vpy" -m pytest -q -rs -p no:cacheprovider tests "$@"

step "uninstall"
"$vpy" -m pip uninstall --disable-pip-version-check -y -q qel-cv
venv_files >"$work/venv-after"
diff -u "$work/venv-before" "$work/venv-after" || fail "uninstalling left the files above behind"
step "done"
