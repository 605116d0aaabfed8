# Sourced by the project's commands: makes (once) and enters .venv, a Python 3.12 virtual
# environment with the project's development requirements.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
venv="${TORVANE_VENV:-$root/.venv}"
if [ ! -x "$venv/bin/python" ]; then
  py=""
  if command -v pyenv >/dev/null 2>&1; then
    # .python-version names the interpreter; pyenv installs it if this machine lacks it.
    want="$(cat .python-version)"
    pyenv install --skip-existing "$want" >/dev/null
    py="$(pyenv root)/versions/$want/bin/python"
  fi
  [ -x "$py" ] || py="$(command -v python3.12 || true)"
  [ -n "$py" ] || { echo "Python 3.12 not found (install pyenv or python3.12)" >&2; exit 1; }
  "$py" -c 'import sys; assert sys.version_info[:2] == (3, 12), sys.version' 
  "$py" -m venv "$venv"
fi
export PATH="$venv/bin:$PATH"
stamp="$venv/.requirements-dev.txt"
if ! cmp -s requirements-dev.txt "$stamp"; then
  python -m pip install --quiet --upgrade pip
  python -m pip install --quiet -r requirements-dev.txt
  cp requirements-dev.txt "$stamp"
fi
