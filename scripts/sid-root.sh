#!/usr/bin/env bash
# The Pythons this machine lacks, from Debian's unstable suite: a root directory per
# architecture, made once per machine and reused, and a way to run a command inside one.
#
#   scripts/sid-root.sh make ARCH             make the root of ARCH (a Debian architecture: amd64,
#                                             i386, arm64, armhf, ppc64el, s390x or riscv64)
#                                             unless it is already there with the same packages
#   scripts/sid-root.sh run ARCH COMMAND...   run COMMAND in it, in the current folder
#   scripts/sid-root.sh path ARCH             print where the root of ARCH is
#
# amd64 holds every CPython of platforms.tsv but the reference (pyenv's), facts.tsv's debug
# build, their headers, g++ and gdb: everything the project's scripts need. The other roots hold
# the Pythons of their row of platforms.tsv and their headers only; their programs run under
# qemu's user-mode emulation, about 20 times slower. i386 also holds Debian's own g++ (whose
# default flags leave double arithmetic to the x87 unit), gdb and the headers of its row's suite
# Python: the 32-bit build and its tests (scripts/nox -s i386) and the
# i686 wheels, which this kernel runs natively.
# The roots live in $TORVANE_CACHE/roots (the cache is ~/.cache/torvane by default). Making one needs root
# privileges and Debian's archive; it takes about a minute for amd64 and seconds for arm64.
#
# `run` mounts what the command needs (/proc, /dev, this repository at its own path and the
# machine's package-index settings, and the wheel tools of the cache, $TORVANE_CACHE/wheels) in a
# mount namespace of its own, so the mounts end with the command and a root on disk never has anything mounted in it.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
cache="${TORVANE_CACHE:-$HOME/.cache/torvane}"
roots="$cache/roots"
source "$here/arches.sh"

usage() { sed -n '5,9s/^# \{0,1\}//p' "$0"; }

packages() {
  case "$1" in
    amd64)
      echo ca-certificates,g++,gdb,git
      for v in "${PYTHONS[@]}"; do
        [ "$v" = "$REFERENCE" ] || echo "python$v,python$v-dev,python$v-venv"
      done
      debug_python="$(fact debug)"
      echo "python${debug_python%d}-dbg"
      ;;
    *)
      [ -n "$(arch_of_debian "$1")" ] || {
        echo "unknown architecture '$1': amd64 or one of platforms.tsv's Debian names" >&2
        exit 2
      }
      arch_names "$(arch_of_debian "$1")"
      if [ "$1" = i386 ]; then echo "ca-certificates,g++,gdb,python$suite-dev"; else echo coreutils,dash; fi
      for v in $pythons; do echo "python$v,python$v-venv,libpython$v-dev"; done
      ;;
  esac
}

need() { # need COMMAND PACKAGE: installs the Debian package when the command is missing
  command -v "$1" >/dev/null 2>&1 || "$here/apt-install" "$2"
}

# qemu's name for the architectures it emulates here (platforms.tsv); none for those this
# machine runs.
emulator() {
  local arch
  arch="$(arch_of_debian "$1")"
  [ -z "$arch" ] || { arch_names "$arch" && [ "$runs" = native ] || echo "$qemu"; }
}

# The other architectures' programs run here through qemu, registered with the kernel (the F
# flag opens the emulator now, so that it works inside the root too).
register_emulator() {
  need qemu-aarch64-static qemu-user-static
  local binfmt=/proc/sys/fs/binfmt_misc
  [ -f "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
  [ -f "$binfmt/qemu-$1" ] || cat "/usr/lib/binfmt.d/qemu-$1.conf" >"$binfmt/register"
}

make_root() (
  arch="$1" dir="$roots/sid-$1"
  want="$(packages "$arch" | paste -sd, -)"
  local qemu
  qemu="$(emulator "$arch")"
  [ -z "$qemu" ] || register_emulator "$qemu"
  mkdir -p "$roots"
  # One maker at a time; the lock ends with this subshell.
  exec 9>"$roots/.lock-$arch"
  flock 9
  if [ "$(cat "$dir/.torvane-packages" 2>/dev/null)" = "$want" ]; then
    exit 0
  fi
  need mmdebstrap mmdebstrap
  # The archive this machine's apt uses; reachable here as a dated copy, whose Release files
  # count as expired.
  local archive
  archive="$(apt-get indextargets --format '$(REPO_URI)' 2>/dev/null | grep -m1 /debian/ || true)"
  archive="${archive:-http://deb.debian.org/debian/}"
  echo "sid-root: making the $arch root in $dir (Debian sid from $archive)"
  rm -rf "$dir.new"
  local variant=(--variant=apt --arch="$arch")
  # Unpacked only: the packages' scripts would run under emulation, for a quarter of an hour.
  [ -z "$qemu" ] || variant=(--variant=extract --arch="$arch")
  mmdebstrap --quiet "${variant[@]}" --aptopt='Acquire::Check-Valid-Until "false"' \
    --include="$want" sid "$dir.new" "$archive"
  if [ -n "$qemu" ]; then
    for link in bin sbin lib lib64; do
      [ -e "$dir.new/$link" ] || [ ! -d "$dir.new/usr/$link" ] || ln -s "usr/$link" "$dir.new/$link"
    done
  fi
  mkdir -p "$dir.new/proc" "$dir.new/dev" "$dir.new/root"
  chmod 1777 "$dir.new/tmp"
  echo "$want" >"$dir.new/.torvane-packages"
  rm -rf "$dir"
  mv "$dir.new" "$dir"
  echo "sid-root: $arch root ready"
)

run_in_root() {
  local arch="$1" dir="$roots/sid-$1"
  shift
  make_root "$arch"
  # The package index as this machine reaches it: pip's settings and certificates, and the
  # local folders they name.
  local f
  for f in /etc/pip.conf /etc/xdg/pip/pip.conf /etc/xdg/pip/constraints.txt \
    "$HOME/.config/pip/pip.conf" /etc/ssl/certs/ca-certificates.crt; do
    if [ -f "$f" ]; then
      mkdir -p "$dir$(dirname "$f")"
      cp "$f" "$dir$f"
    fi
  done
  local binds=("$repo")
  for f in /opt/wheels /opt/pypi /opt/pypi-more; do [ -d "$f" ] && binds+=("$f"); done
  # The wheel tools, which a copy of the tree (the release checks' rebuild) builds with too, at
  # their own path.
  [ ! -d "$cache/wheels" ] || binds+=("$cache/wheels")
  # The mounts are made in a namespace of this command's own and end with it.
  unshare --mount --propagation private -- bash -euc '
    dir="$1"; shift
    mount --rbind /proc "$dir/proc"
    mount --rbind /dev "$dir/dev"
    while [ "$1" != -- ]; do mkdir -p "$dir$1"; mount --bind "$1" "$dir$1"; shift; done
    shift
    exec chroot "$dir" /usr/bin/env TORVANE_IN_ROOT="$(basename "$dir")" HOME=/root \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$PWD" "$@"
  ' - "$dir" "${binds[@]}" -- "$@"
}

case "${1:-}" in
  make) make_root "${2:?$(usage)}" ;;
  run) [ $# -ge 3 ] || { usage >&2; exit 2; }; arch="$2"; shift 2; run_in_root "$arch" "$@" ;;
  path) packages "${2:?$(usage)}" >/dev/null; echo "$roots/sid-$2" ;;
  -h | --help) usage ;;
  *) usage >&2; exit 2 ;;
esac
