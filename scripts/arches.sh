# Sourced by the scripts: the platforms of the wheels, from the table platforms.tsv (whose
# header says what each column means). WHEEL_ARCHES lists them, x86_64 first; arch_names ARCH
# sets the columns of its row as shell variables: debian, triplet, target, platform (the tag),
# pythons, suite, runs, qemu, cpu and baseline; arch_of_debian NAME prints the row's arch whose
# Debian name is NAME.
PLATFORMS="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/platforms.tsv"
# The Windows row (runs: wine) is scripts/windows.sh's alone.
mapfile -t WHEEL_ARCHES < <(awk -F'\t' '!/^#/ && NR > 1 && $1 != "arch" && $8 != "wine" { print $1 }' "$PLATFORMS")
arch_names() {
  local row
  row="$(awk -F'\t' -v a="$1" '!/^#/ && $1 == a' "$PLATFORMS")"
  [ -n "$row" ] || { echo "unknown architecture '$1': ${WHEEL_ARCHES[*]}" >&2; return 2; }
  IFS=$'\t' read -r _ debian triplet target platform pythons suite runs qemu cpu baseline <<<"$row"
}
arch_of_debian() { awk -F'\t' -v d="$1" '!/^#/ && $2 == d { print $1 }' "$PLATFORMS"; }
