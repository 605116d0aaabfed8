# Sourced by the project's commands: makes (once) and enters .venv, a Python 3.12 virtual
# environment with the project's development requirements. With TORVANE_PYTHON=3.13 it is
# Python 3.13 instead, in an environment of the same name with "-3.13" added (.venv-3.13).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
minor="${TORVANE_PYTHON:-3.12}"
case "$minor" in
  3.12 | 3.13) ;;
  *) echo "TORVANE_PYTHON is 3.12 (the default) or 3.13, not '$minor'" >&2; exit 1 ;;
esac
venv="${TORVANE_VENV:-$root/.venv}"
[ "$minor" = 3.12 ] || venv="$venv-$minor"
if [ ! -x "$venv/bin/python" ]; then
  py=""
  if command -v pyenv >/dev/null 2>&1; then
    # .python-version names the interpreter; pyenv installs it if this machine lacks it.
    # Python 3.13 is the newest 3.13 that pyenv has.
    want="$(cat .python-version)"
    [ "$minor" = 3.12 ] || want="$(pyenv latest "$minor" 2>/dev/null || true)"
    [ -z "$want" ] || pyenv install --skip-existing "$want" >/dev/null
    py="$(pyenv root)/versions/$want/bin/python"
  fi
  [ -x "$py" ] || py="$(command -v "python$minor" || true)"
  [ -n "$py" ] || { echo "Python $minor not found (install pyenv or python$minor)" >&2; exit 1; }
  "$py" -c "import sys; assert sys.version_info[:2] == (3, ${minor#3.}), sys.version"
  "$py" -m venv "$venv"
fi
export PATH="$venv/bin:$PATH"
stamp="$venv/.requirements-dev.txt"
if ! cmp -s requirements-dev.txt "$stamp"; then
  python -m pip install --quiet --upgrade pip
  python -m pip install --quiet -r requirements-dev.txt
  cp requirements-dev.txt "$stamp"
fi
