# Sourced by the scripts: the facts of the tables platforms.tsv and facts.tsv (whose headers say
# what each column means).
#   WHEEL_ARCHES   the Linux platforms of the wheels, x86_64 first (the Windows row, whose runs
#                  column is wine, is scripts/windows.sh's alone)
#   PYTHONS        every CPython version with a wheel on some platform, oldest first
#   REFERENCE      the reference Python, .python-version's
#   VERSION        the module's version, version.hpp's
#   arch_names ARCH      sets the columns of ARCH's row as shell variables: debian, triplet,
#                        target, platform (the tag), pythons, suite, runs, qemu, cpu, baseline,
#                        elf, loader, libgcc and abi3
#   arch_of_debian NAME  prints the arch of the row whose Debian name is NAME
#   fact NAME            prints the value of NAME in facts.tsv
# and what the scripts share:
#   help_if_asked ARGS...  given -h or --help first, prints the script's leading comment, exits
#   find_python MINOR      prints the path of a Python MINOR (any patch release), or nothing
tables_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PLATFORMS="$tables_dir/platforms.tsv"
mapfile -t WHEEL_ARCHES < <(awk -F'\t' '!/^#/ && $1 != "arch" && $8 != "wine" { print $1 }' "$PLATFORMS")
mapfile -t PYTHONS < <(awk -F'\t' '!/^#/ && $1 != "arch" { print $6 }' "$PLATFORMS" | tr ' ' '\n' |
  grep . | sort -u -V)
REFERENCE="$(cat "$tables_dir/.python-version")"
VERSION="$(sed -n 's/.*kVersion = "\([^"]*\)";.*/\1/p' "$tables_dir/torvane_core/src/pyfacade/version.hpp")"
arch_names() {
  local row
  row="$(awk -F'\t' -v a="$1" '!/^#/ && $1 == a' "$PLATFORMS")"
  [ -n "$row" ] || { echo "unknown architecture '$1': ${WHEEL_ARCHES[*]}" >&2; return 2; }
  IFS=$'\t' read -r _ debian triplet target platform pythons suite runs qemu cpu baseline elf loader \
    libgcc abi3 <<<"$row"
}
arch_of_debian() { awk -F'\t' -v d="$1" '!/^#/ && $2 == d { print $1 }' "$PLATFORMS"; }
fact() {
  awk -F'\t' -v f="$1" '!/^#/ && $1 == f { print $2; found = 1 } END { exit !found }' \
    "$tables_dir/facts.tsv" || { echo "no fact '$1' in facts.tsv" >&2; return 2; }
}

help_if_asked() {
  case "${1:-}" in
    -h | --help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
  esac
}
# pyenv's newest matching version first; pyenv installs the reference version only when it has
# none, and a failed install (no network, say) falls through to the PATH, whose pyenv shims only
# lead back to pyenv.
find_python() {
  local want="$1" found="" shims="" candidate
  if command -v pyenv >/dev/null 2>&1; then
    shims="$(pyenv root)/shims"
    found="$(pyenv latest "$want" 2>/dev/null || true)"
    if [ -z "$found" ] && [ "$want" = "$REFERENCE" ] &&
      pyenv install --skip-existing "$want" >/dev/null 2>&1; then
      found="$(pyenv latest "$want" 2>/dev/null || true)"
    fi
    candidate="$(pyenv root)/versions/$found/bin/python"
    if [ -n "$found" ] && [ -x "$candidate" ]; then
      echo "$candidate"
      return
    fi
  fi
  while read -r candidate; do
    if [ -n "$candidate" ] && [ "$(dirname "$candidate")" != "$shims" ]; then
      echo "$candidate"
      return
    fi
  done < <(type -ap "python$want" || true)
}
